// The timer thread: ordering of pending callbacks, running the due ones, rescheduling and failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "common/xml_document.h"
#include "server/core/timer_thread.h"
#include "tests/support/wait.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::WaitUntil;
using OvrinTest::LogCapture;

namespace {

// The server sets up the XML layer before any of its threads runs; the thread bodies rely on it.
struct XmlReady : testing::Environment {
    void SetUp() override { XMLStartup(); }
};
const auto* const kXmlReady = testing::AddGlobalTestEnvironment(new XmlReady);

class Journal {
public:
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> hold(guard);
        entries.push_back(entry);
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> hold(guard);
        return entries;
    }
    size_t Count(const std::string& entry) const {
        std::lock_guard<std::mutex> hold(guard);
        return static_cast<size_t>(std::count(entries.begin(), entries.end(), entry));
    }

private:
    mutable std::mutex guard;
    std::vector<std::string> entries;
};

CTimerCallbackPtr Callback(int32_t interval, Journal& journal, bool repeat = false) {
    return std::make_shared<CTimerCallback>(interval, [&journal](const std::string& argument) { journal.Add(argument); },
                                            "", repeat);
}

CTimerCallbackPtr Named(int32_t interval, const std::string& name, Journal& journal, bool repeat = false) {
    return std::make_shared<CTimerCallback>(interval, [&journal](const std::string& argument) { journal.Add(argument); },
                                            name, repeat);
}

}  // namespace

TEST(TimerCallback, IsDueOneIntervalAfterItWasMade) {
    Journal journal;
    const time_t before = std::time(nullptr);
    auto callback = Named(30, "joe", journal, true);
    const time_t after = std::time(nullptr);
    EXPECT_GE(callback->GetDueTime(), before + 30);
    EXPECT_LE(callback->GetDueTime(), after + 30);
    EXPECT_TRUE(callback->Repeats());
    callback->Run();
    EXPECT_EQ(journal.Entries(), std::vector<std::string>{"joe"});
}

TEST(TimerThreadOrder, EqualDueTimesKeepTheOrderOfPushing) {
    Journal journal;
    CTimerThread timer;
    auto first5 = Callback(5, journal);
    auto only3 = Callback(3, journal);
    auto second5 = Callback(5, journal);
    timer.PushCallback(first5);
    timer.PushCallback(only3);
    timer.PushCallback(second5);
    EXPECT_EQ(timer.GetPendingCallbacks(), (std::vector<CTimerCallbackPtr>{only3, first5, second5}));
    auto earliest = Callback(-100, journal);
    auto latest = Callback(100, journal);
    timer.PushCallback(latest);
    timer.PushCallback(earliest);
    EXPECT_EQ(timer.GetPendingCallbacks(),
              (std::vector<CTimerCallbackPtr>{earliest, only3, first5, second5, latest}));
}

TEST(TimerThreadRun, DueCallbacksRunInTheirOrderAndLaterOnesWait) {
    Journal journal;
    CTimerThread timer(10);
    // Due 5, 3 and 5 seconds after a moment already past.
    timer.PushCallback(Named(-10 + 5, "5 first", journal));
    timer.PushCallback(Named(-10 + 3, "3", journal));
    timer.PushCallback(Named(-10 + 5, "5 second", journal));
    auto later = Named(3600, "an hour later", journal);
    timer.PushCallback(later);
    timer.Resume();
    ASSERT_TRUE(WaitUntil([&] { return journal.Entries().size() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // several more ticks
    timer.Terminate();
    ASSERT_TRUE(timer.WaitFor(20000));
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"3", "5 first", "5 second"}));
    EXPECT_EQ(timer.GetPendingCallbacks(), std::vector<CTimerCallbackPtr>{later});
}

TEST(TimerThreadRun, AThrowingCallbackIsLoggedAndItsRepeatingCallbackRescheduled) {
    Journal journal;
    std::atomic<int> failures{0};
    CTimerThread timer(10);
    timer.PushCallback(std::make_shared<CTimerCallback>(
        0,
        [&](const std::string& argument) {
            ++failures;
            throw CMessageException("cannot do %s", argument.c_str());
        },
        "the flush", true));
    timer.PushCallback(Named(0, "next", journal));
    LogCapture log;
    timer.Resume();
    ASSERT_TRUE(WaitUntil([&] { return failures >= 3; }));
    timer.Terminate();
    ASSERT_TRUE(timer.WaitFor(20000));
    EXPECT_EQ(journal.Count("next"), 1u);  // the callback after the failing one ran, once
    auto errors = log.LinesWith("ERROR");
    ASSERT_EQ(errors.size(), static_cast<size_t>(failures.load()));
    EXPECT_TRUE(errors[0].ends_with("ERROR Timer thread caught a callback exception, ignoring and proceeding to the "
                                    "next callback: cannot do the flush"))
        << errors[0];
    // Still scheduled, once: the repeating callback lives until the thread stops.
    auto pending = timer.GetPendingCallbacks();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0]->GetArgument(), "the flush");
    EXPECT_TRUE(pending[0]->Repeats());
}

TEST(TimerThreadRun, ACallbackMayPushCallbacks) {
    Journal journal;
    CTimerThread timer(10);
    timer.PushCallback(std::make_shared<CTimerCallback>(
        0,
        [&](const std::string&) {
            journal.Add("outer");
            timer.PushCallback(Named(0, "inner", journal));
        },
        "", false));
    timer.Resume();
    ASSERT_TRUE(WaitUntil([&] { return journal.Entries().size() == 2; }));
    timer.Terminate();
    ASSERT_TRUE(timer.WaitFor(20000));
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"outer", "inner"}));
    EXPECT_TRUE(timer.GetPendingCallbacks().empty());
}

TEST(TimerThreadRun, ARepeatingCallbackIsDueOneIntervalAfterItsRun) {
    std::atomic<time_t> ranAt{0};
    CTimerThread timer(10);
    timer.PushCallback(std::make_shared<CTimerCallback>(
        1, [&](const std::string&) { ranAt = std::time(nullptr); }, "", true));
    timer.Resume();
    ASSERT_TRUE(WaitUntil([&] { return ranAt != 0 && timer.GetPendingCallbacks().size() == 1; }));
    timer.Terminate();
    ASSERT_TRUE(timer.WaitFor(20000));
    auto pending = timer.GetPendingCallbacks();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0]->GetInterval(), 1);
    EXPECT_TRUE(pending[0]->Repeats());
    // made after the run ended, in the same or the next second
    EXPECT_GE(pending[0]->GetDueTime(), ranAt + 1);
    EXPECT_LE(pending[0]->GetDueTime(), ranAt + 2);
}
