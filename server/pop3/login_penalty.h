// CLoginPenalties: failed POP3 logins remembered by the peer's address, so that an address that
// keeps guessing waits longer and longer (up to a cap) before each of its next attempts is even
// checked, whichever connection it comes on. Process-wide, bounded in size.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "common/bounded_cache.h"

namespace Ovrin {

class CLoginPenalties {
public:
    using CClock = std::chrono::steady_clock;

    // Failures older than this (counted from an address's last one) are forgotten.
    static constexpr std::chrono::minutes kWindow{5};
    // The longest penalty, unless the failure delay itself is longer.
    static constexpr uint32_t kCapMilliseconds = 15000;
    // Addresses remembered at most; past it, the one whose last failure is oldest goes (one
    // already forgotten, when there is any).
    static constexpr size_t kMaxAddresses = 65536;

    // How long an attempt from the address waits before it is checked: nothing for the first
    // three failures (one connection's worth), then the failure delay, doubled after every
    // three more, up to the cap.
    uint32_t Penalty(uint32_t address, uint32_t failureDelay, CClock::time_point now);
    void Failed(uint32_t address, CClock::time_point now);

private:
    struct CRecord {
        uint32_t failures = 0;
        CClock::time_point last;
    };

    std::mutex guard;
    // Made more recent by failures only, so that the least recent is the stalest.
    CBoundedCache<uint32_t, CRecord> records{kMaxAddresses};
};

CLoginPenalties& LoginPenalties();

}  // namespace Ovrin
