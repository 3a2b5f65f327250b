#include "camera/text_helpers.h"

#include <cstdio>
#include <vector>

namespace quenlix {
namespace HUtils {

std::string FormatStringV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatStringV(format, args);
  va_end(args);
  return result;
}

std::string TrimBlanks(const std::string& text) {
  static const char kBlanks[] = " \t";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::string GetKeyValue(const std::string& key, const std::string& separator,
                        const std::string& text, const std::string& delimiters) {
  if (key.empty() || separator.empty() || delimiters.empty()) return std::string();
  size_t pos = text.find(key);
  while (pos != std::string::npos) {
    // The key's own first character is no delimiter, so the name starts at
    // pos: a longer name ending in the key matches too.
    const size_t lineEnd = text.find_first_of(delimiters, pos);
    const size_t sep = text.find(separator, pos);
    if (sep != std::string::npos && (lineEnd == std::string::npos || sep < lineEnd)) {
      const size_t valueStart = sep + separator.size();
      if (TrimBlanks(text.substr(pos, sep - pos)) == key && valueStart < text.size()) {
        const size_t valueEnd = lineEnd == std::string::npos ? text.size() : lineEnd;
        // A delimiter inside a multi-character separator can put lineEnd
        // before the value; there is then no value on this line.
        if (valueEnd >= valueStart) return text.substr(valueStart, valueEnd - valueStart);
      }
    }
    if (lineEnd == std::string::npos) break;
    // A key that begins with a delimiter has lineEnd == pos; move on anyway.
    pos = text.find(key, lineEnd > pos ? lineEnd : pos + 1);
  }
  return std::string();
}

}  // namespace HUtils
}  // namespace quenlix
