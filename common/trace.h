// The operation trace: when an exception leaves an operation, log "label: reason" at ERROR
// and rethrow the very same exception, so the log shows a failure's path from the inside out.
// The label is a printf format with the operation's arguments, formatted only on that path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace Ovrin {

enum class TraceLevel { Error, Critical };

// The 32-bit form ("0x%08x") in which trace labels show the objects an operation works on.
inline unsigned LabelAddress(const void* address) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

// Logs "label: reason" (each part cut to 4095 characters) at the given level.
void LogTraceLine(TraceLevel level, const char* label, const char* reason);

// The reason text of the exception being handled: what() of a standard exception,
// "Unknown exception" for anything else. Call only inside a catch block.
const char* CurrentExceptionReason() noexcept;

namespace TraceDetail {

template <class... Args>
void Log(TraceLevel level, const char* labelFormat, const Args&... args) noexcept {
    static_assert(((std::is_arithmetic_v<std::decay_t<Args>> || std::is_pointer_v<std::decay_t<Args>> ||
                    std::is_enum_v<std::decay_t<Args>>) && ...),
                  "trace label arguments must be printf-compatible (pass .c_str() for strings)");
    char label[4096];
    if constexpr (sizeof...(Args) == 0)
        std::snprintf(label, sizeof label, "%s", labelFormat);
    else
        std::snprintf(label, sizeof label, labelFormat, args...);
    LogTraceLine(level, label, CurrentExceptionReason());
}

}  // namespace TraceDetail

// Runs body(); on any exception logs "label: reason" at the level and rethrows it unchanged.
template <TraceLevel Level, class Body, class... Args>
decltype(auto) TracedAt(Body&& body, const char* labelFormat, const Args&... args) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        TraceDetail::Log(Level, labelFormat, args...);
        throw;
    }
}

template <class Body, class... Args>
decltype(auto) Traced(Body&& body, const char* labelFormat, const Args&... args) {
    return TracedAt<TraceLevel::Error>(std::forward<Body>(body), labelFormat, args...);
}

// The fatal form, for states the process cannot go on from: CRITICAL ends the process.
template <class Body, class... Args>
decltype(auto) TracedFatal(Body&& body, const char* labelFormat, const Args&... args) {
    return TracedAt<TraceLevel::Critical>(std::forward<Body>(body), labelFormat, args...);
}

// For the places that end a failure's propagation (thread bodies, loops over files, main):
// runs body(); on an exception logs "label: reason" at ERROR and returns false.
template <class Body, class... Args>
bool Contained(Body&& body, const char* labelFormat, const Args&... args) noexcept {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (...) {
        TraceDetail::Log(TraceLevel::Error, labelFormat, args...);
        return false;
    }
}

}  // namespace Ovrin
