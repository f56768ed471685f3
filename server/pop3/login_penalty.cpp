// The penalty of an address: a count of its recent failures, turned into a wait.
#include "server/pop3/login_penalty.h"

#include <algorithm>

namespace Ovrin {

uint32_t CLoginPenalties::Penalty(uint32_t address, uint32_t failureDelay, CClock::time_point now) {
    uint32_t failures;
    {
        std::lock_guard<std::mutex> hold(guard);
        auto it = records.find(address);
        if (it == records.end() || now - it->second.last > kWindow)
            return 0;
        failures = it->second.failures;
    }
    if (failures < 3)
        return 0;
    const uint64_t cap = std::max(kCapMilliseconds, failureDelay);
    const uint64_t grown = static_cast<uint64_t>(failureDelay) << std::min<uint32_t>(failures / 3 - 1, 16);
    return static_cast<uint32_t>(std::min(grown, cap));
}

void CLoginPenalties::Failed(uint32_t address, CClock::time_point now) {
    std::lock_guard<std::mutex> hold(guard);
    if (records.size() >= kMaxAddresses && records.find(address) == records.end())
        MakeRoom(now);
    CRecord& record = records[address];
    if (now - record.last > kWindow)
        record.failures = 0;
    ++record.failures;
    record.last = now;
}

void CLoginPenalties::MakeRoom(CClock::time_point now) {
    std::erase_if(records, [&](const auto& entry) { return now - entry.second.last > kWindow; });
    if (records.size() < kMaxAddresses)
        return;
    auto stalest = std::min_element(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return a.second.last < b.second.last;
    });
    records.erase(stalest);
}

CLoginPenalties& LoginPenalties() {
    static CLoginPenalties instance;
    return instance;
}

}  // namespace Ovrin
