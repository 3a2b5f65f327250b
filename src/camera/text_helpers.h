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
// the delimiter characters. The name is the key itself, at the start of its
// line after optional blanks, with optional blanks before the separator; the
// first such line wins. The value is returned as it stands, up to the next
// delimiter or the end of the text; "" when nothing matches or key, separator
// or delimiters is empty. Linear in the text.
std::string GetKeyValue(const std::string& key, const std::string& separator,
                        const std::string& text, const std::string& delimiters);

}  // namespace HUtils

using HUtils::FormatString;
using HUtils::GetKeyValue;
using HUtils::TrimBlanks;

}  // namespace quenlix
