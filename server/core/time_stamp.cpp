// The local time stamp of message ids and message file names.
#include "server/core/time_stamp.h"

#include <ctime>

#include "common/format.h"

namespace Ovrin {

std::string LocalTimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return Format("%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
}

}  // namespace Ovrin
