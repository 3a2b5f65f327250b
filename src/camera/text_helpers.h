// Text helpers shared by the camera, RTSP and I/O code.
#pragma once

#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define QUENLIX_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QUENLIX_PRINTF_FORMAT(f, a)
#endif

namespace quenlix {
namespace HUtils {

// printf into a string of exactly the needed length; nothing is cut off.
std::string FormatString(const char* format, ...) QUENLIX_PRINTF_FORMAT(1, 2);
std::string FormatStringV(const char* format, va_list args);

// text without leading and trailing blanks and tabs.
std::string TrimBlanks(const std::string& text);

// The value of key in a text of lines "name<separator>value" split by any of
// the delimiter characters. The name may carry blanks around it, and a name
// that ends with key also matches (the first match in text order wins), so
// key "timeout" finds "session: 1;timeout=60". The value is returned as it
// stands, up to the next delimiter or the end of the text; "" when nothing
// matches or key, separator or delimiters is empty.
std::string GetKeyValue(const std::string& key, const std::string& separator,
                        const std::string& text, const std::string& delimiters);

}  // namespace HUtils

using HUtils::FormatString;
using HUtils::GetKeyValue;
using HUtils::TrimBlanks;

}  // namespace quenlix
