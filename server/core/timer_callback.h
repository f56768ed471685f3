// CTimerCallback: one piece of delayed or periodic work for the timer thread: a function and its
// argument text, due one interval after the callback was made.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace Ovrin {

using CTimerFunction = std::function<void(const std::string& argument)>;

class CTimerCallback {
public:
    // Due at the current time plus the interval (seconds; 0 or less is due at once).
    CTimerCallback(int32_t interval, CTimerFunction function, std::string argument, bool repeat);

    int32_t GetInterval() const { return interval; }
    time_t GetDueTime() const { return dueTime; }
    bool Repeats() const { return repeat; }
    const std::string& GetArgument() const { return argument; }
    const CTimerFunction& GetFunction() const { return function; }
    void Run() const { function(argument); }

private:
    const int32_t interval;
    const time_t dueTime;
    const bool repeat;
    const CTimerFunction function;
    const std::string argument;
};

using CTimerCallbackPtr = std::shared_ptr<CTimerCallback>;

}  // namespace Ovrin
