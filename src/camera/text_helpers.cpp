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

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool MatchesAt(const std::string& text, size_t pos, size_t end, const std::string& what) {
  return end - pos >= what.size() && text.compare(pos, what.size(), what) == 0;
}

}  // namespace

std::string GetKeyValue(const std::string& key, const std::string& separator,
                        const std::string& text, const std::string& delimiters) {
  if (key.empty() || separator.empty() || delimiters.empty()) return std::string();
  // Line by line, looking only inside each line: a reply is the camera's,
  // and a search that ran on past a line end for every occurrence of the
  // key was quadratic in it.
  for (size_t lineStart = 0; lineStart <= text.size();) {
    size_t lineEnd = text.find_first_of(delimiters, lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    size_t pos = lineStart;
    while (pos < lineEnd && IsBlank(text[pos])) ++pos;
    // The name is the whole key, not a longer name ending in it: "XInput1"
    // is no "Input1".
    if (MatchesAt(text, pos, lineEnd, key)) {
      pos += key.size();
      while (pos < lineEnd && !MatchesAt(text, pos, lineEnd, separator) && IsBlank(text[pos])) {
        ++pos;
      }
      if (MatchesAt(text, pos, lineEnd, separator)) {
        const size_t valueStart = pos + separator.size();
        return text.substr(valueStart, lineEnd - valueStart);
      }
    }
    lineStart = lineEnd + 1;
  }
  return std::string();
}

}  // namespace HUtils
}  // namespace quenlix
