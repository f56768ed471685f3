// CLogger: formatting and writing the log lines to standard error.
#include "common/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "common/format.h"
#include "common/text.h"

namespace Ovrin {

namespace {

std::string LocalTimeText() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
}

void WriteAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a failed write to standard error is ignored
        done += static_cast<size_t>(n);
    }
}

}  // namespace

std::string CLogger::MakeLine(const char* level, const std::string& message) {
    return Format("%s [%08x] %s %s", LocalTimeText().c_str(),
                  static_cast<unsigned>(::syscall(SYS_gettid)), level,
                  ReplaceControlCharacters(message, true).c_str());
}

void CLogger::Write(const char* level, const std::string& message) {
    try {
        // One write per line, so lines stay whole even against other processes on the same pipe.
        std::string line = MakeLine(level, message) + "\r\n";
        CScopedLock hold(*this, kInfinite);
        WriteAll(line);
    } catch (...) {
        // a log call never throws
    }
}

void CLogger::WriteFormatted(const char* level, const char* format, va_list args) {
    std::string message;
    try {
        message = VFormat(format, args);
    } catch (...) {
        return;
    }
    Write(level, message);
}

void CLogger::Info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted("INFO", format, args);
    va_end(args);
}

void CLogger::Warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted("WARNING", format, args);
    va_end(args);
}

void CLogger::Error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted("ERROR", format, args);
    va_end(args);
}

void CLogger::Critical(const char* format, ...) {
    try {
        va_list args;
        va_start(args, format);
        std::string message = VFormat(format, args);
        va_end(args);
        // Without the lock: the process is going down, and the lock may be what is broken.
        WriteAll(MakeLine("CRITICAL", message) + "\r\n");
    } catch (...) {
    }
    std::abort();
}

CLogger& Logger() {
    static CLogger* instance = new CLogger;
    return *instance;
}

}  // namespace Ovrin
