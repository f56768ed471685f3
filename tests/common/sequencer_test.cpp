// CSequencer: counts from 1, is safe across threads, and refuses to wrap around.
#include "common/sequencer.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "common/exception.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;

TEST(Sequencer, FirstCallReturnsOne) {
    CSequencer sequencer;
    EXPECT_EQ(sequencer.Next(), 1u);
    EXPECT_EQ(sequencer.Next(), 2u);
}

TEST(Sequencer, ThreadsNeverGetTheSameValue) {
    CSequencer sequencer;
    std::vector<std::vector<uint32_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& values : seen)
        threads.emplace_back([&] { for (int i = 0; i < 2000; ++i) values.push_back(sequencer.Next()); });
    for (auto& t : threads) t.join();
    std::set<uint32_t> all;
    for (auto& values : seen) all.insert(values.begin(), values.end());
    EXPECT_EQ(all.size(), 8000u);
    EXPECT_EQ(*all.rbegin(), 8000u);
}

TEST(Sequencer, OverflowsAfterTheLastValue) {
    CSequencer sequencer(0xFFFFFFFD);  // as if 4294967293 calls had been made
    EXPECT_EQ(sequencer.Next(), 0xFFFFFFFEu);
    EXPECT_EQ(sequencer.Next(), 0xFFFFFFFFu);
    OvrinTest::LogCapture log;
    try {
        sequencer.Next();
        FAIL() << "no overflow";
    } catch (const CMessageException& e) {
        EXPECT_STREQ(e.what(), "The sequence counter has overflowed");
    }
    EXPECT_THROW(sequencer.Next(), CMessageException);  // stays exhausted
    EXPECT_EQ(log.LinesWith("ERROR CSequencer::Next(): The sequence counter has overflowed").size(), 2u);
}
