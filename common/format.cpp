// The growing buffer: start at 256 bytes, double until the text fits with room to spare.
#include "common/format.h"

#include <cstdio>
#include <vector>

namespace Ovrin {

std::string VFormat(const char* format, va_list args) {
    std::vector<char> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = std::vsnprintf(buffer.data(), buffer.size() - 1, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size() - 1)
            return std::string(buffer.data(), static_cast<size_t>(written));
        buffer.assign(buffer.size() * 2, '\0');
    }
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

}  // namespace Ovrin
