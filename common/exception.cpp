// CMessageException: formatting its message.
#include "common/exception.h"

#include <cstdarg>

#include "common/format.h"

namespace Ovrin {

CMessageException::CMessageException(const char* format, ...) {
    va_list args;
    va_start(args, format);
    message = VFormat(format, args);
    va_end(args);
}

}  // namespace Ovrin
