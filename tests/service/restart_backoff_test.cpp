#include <gtest/gtest.h>

#include "service/restart_backoff.h"

using namespace Ovrin;
using std::chrono::seconds;

TEST(RestartBackoff, DoublesUpToAMinuteAndStartsOverAfterAHealthyRun) {
    CRestartBackoff backoff;
    // (how long the server ran, the pause expected before it is started again)
    const std::pair<int, int> runs[] = {{0, 1},  {5, 2},  {59, 4}, {1, 8},  {1, 16}, {1, 32},
                                        {1, 60}, {1, 60}, {60, 1}, {3, 2},  {600, 1}};
    for (auto [ran, pause] : runs)
        EXPECT_EQ(backoff.NextPause(seconds(ran)), seconds(pause)) << "after a run of " << ran << " s";
}
