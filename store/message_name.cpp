// The local time stamp and the names of message files.
#include "store/message_name.h"

#include <ctime>

#include "common/format.h"
#include "common/text.h"

namespace Ovrin {

std::string LocalTimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // The date and time of the second, made once per second and thread: a busy second files
    // thousands of messages, and the local time conversion is the dear part.
    thread_local time_t second = -1;
    thread_local std::string secondText;
    if (now.tv_sec != second) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        secondText = Format("%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                            local.tm_hour, local.tm_min, local.tm_sec);
        second = now.tv_sec;
    }
    const int milliseconds = static_cast<int>(now.tv_nsec / 1000000);
    std::string stamp = secondText;
    stamp += static_cast<char>('0' + milliseconds / 100);
    stamp += static_cast<char>('0' + milliseconds / 10 % 10);
    stamp += static_cast<char>('0' + milliseconds % 10);
    return stamp;
}

std::string MessageFileName(std::string_view stem) {
    std::string name(stem);
    name += kMessageExtension;
    return name;
}

std::string NewMessageFilePattern(std::string_view directory, CMessageOrigin origin) {
    return Replace(directory, "%", "%%") + "/" +
           MessageFileName(LocalTimeStamp() + (origin == CMessageOrigin::Spooled ? ".%03d" : "%03d"));
}

}  // namespace Ovrin
