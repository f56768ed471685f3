// Bounded waits for what another thread or process does: poll a condition until a deadline.
#pragma once

#include <chrono>
#include <functional>

namespace OvrinTest {

// True once the condition holds; false when it still does not after the limit.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace OvrinTest
