// The per-address penalty of failed logins: free for a connection's worth of failures, then
// growing to its cap, separate per address, forgotten after the window.
#include "server/pop3/login_penalty.h"

#include <gtest/gtest.h>

using namespace Ovrin;

TEST(LoginPenalties, GrowsEveryThreeFailuresUpToTheCapPerAddressAndIsForgottenAfterTheWindow) {
    CLoginPenalties penalties;
    const auto start = CLoginPenalties::CClock::now();
    const struct {
        uint32_t failuresBefore;
        uint32_t delay;
        uint32_t penalty;
    } cases[] = {
        {0, 2000, 0}, {2, 2000, 0}, {3, 2000, 2000}, {5, 2000, 2000}, {6, 2000, 4000},
        {9, 2000, 8000}, {12, 2000, 15000}, {40, 2000, 15000},  // the cap
        {12, 50, 400}, {3, 30000, 30000},                      // a delay above the cap is kept
        {6, 0, 0},
    };
    for (const auto& c : cases) {
        const uint32_t address = 0x7F000001 + c.failuresBefore * 1000 + c.delay;
        for (uint32_t i = 0; i < c.failuresBefore; ++i)
            penalties.Failed(address, start);
        EXPECT_EQ(penalties.Penalty(address, c.delay, start), c.penalty)
            << c.failuresBefore << " failures, delay " << c.delay;
    }
    const uint32_t guesser = 0x0A000001, other = 0x0A000002;
    for (int i = 0; i < 6; ++i)
        penalties.Failed(guesser, start);
    EXPECT_EQ(penalties.Penalty(other, 2000, start), 0u);
    EXPECT_EQ(penalties.Penalty(guesser, 2000, start + CLoginPenalties::kWindow), 4000u);
    const auto later = start + CLoginPenalties::kWindow + std::chrono::seconds(1);
    EXPECT_EQ(penalties.Penalty(guesser, 2000, later), 0u);
    penalties.Failed(guesser, later);  // counting starts again
    EXPECT_EQ(penalties.Penalty(guesser, 2000, later), 0u);
}
