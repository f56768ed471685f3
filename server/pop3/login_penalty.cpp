// The penalty of an address: a count of its recent failures, turned into a wait.
#include "server/pop3/login_penalty.h"

#include <algorithm>

namespace Ovrin {

uint32_t CLoginPenalties::Penalty(uint32_t address, uint32_t failureDelay, CClock::time_point now) {
    uint32_t failures;
    {
        std::lock_guard<std::mutex> hold(guard);
        const CRecord* record = records.Peek(address);
        if (!record || now - record->last > kWindow)
            return 0;
        failures = record->failures;
    }
    if (failures < 3)
        return 0;
    const uint64_t cap = std::max(kCapMilliseconds, failureDelay);
    const uint64_t grown = static_cast<uint64_t>(failureDelay) << std::min<uint32_t>(failures / 3 - 1, 16);
    return static_cast<uint32_t>(std::min(grown, cap));
}

void CLoginPenalties::Failed(uint32_t address, CClock::time_point now) {
    std::lock_guard<std::mutex> hold(guard);
    CRecord* record = records.Find(address);
    if (!record)
        record = &records.Insert(address, CRecord{});
    if (now - record->last > kWindow)
        record->failures = 0;
    ++record->failures;
    record->last = now;
}

CLoginPenalties& LoginPenalties() {
    static CLoginPenalties instance;
    return instance;
}

}  // namespace Ovrin
