// Writing the trace lines of the operation trace.
#include "common/trace.h"

#include "common/log.h"

namespace Ovrin {

const char* CurrentExceptionReason() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

void LogTraceLine(TraceLevel level, const char* label, const char* reason) {
    char line[4096];
    std::snprintf(line, sizeof line, "%s: %s", label, reason);
    if (level == TraceLevel::Critical)
        Logger().Critical("%s", line);
    Logger().Error("%s", line);
}

}  // namespace Ovrin
