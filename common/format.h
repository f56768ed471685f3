// printf-style formatting into a std::string of any length, by a growing buffer.
#pragma once

#include <cstdarg>
#include <string>

namespace Ovrin {

std::string VFormat(const char* format, va_list args);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Ovrin
