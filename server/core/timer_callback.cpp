// The due time of a timer callback.
#include "server/core/timer_callback.h"

#include <utility>

namespace Ovrin {

CTimerCallback::CTimerCallback(int32_t interval, CTimerFunction function, std::string argument, bool repeat)
    : interval(interval),
      dueTime(std::time(nullptr) + interval),
      repeat(repeat),
      function(std::move(function)),
      argument(std::move(argument)) {}

}  // namespace Ovrin
