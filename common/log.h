// CLogger: the process-wide logger. One line per event on standard error, in the form
// "yyyy-mm-dd hh:mm:ss.mmm [tid] LEVEL message", ended by CR LF.
#pragma once

#include <cstdarg>
#include <string>

#include "common/lock.h"

namespace Ovrin {

class CLogger : public CLock {
public:
    void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes the line and aborts the process.
    [[noreturn]] void Critical(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The whole line as it is written, without the line end.
    static std::string MakeLine(const char* level, const std::string& message);

private:
    void Write(const char* level, const std::string& message);
    void WriteFormatted(const char* level, const char* format, va_list args);
};

// The process-wide logger; created on first use and never destroyed, so that threads
// still running at exit can log.
CLogger& Logger();

}  // namespace Ovrin
