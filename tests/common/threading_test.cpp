// CLock recursion and time-outs, auto- and manual-reset events, and CThread's life cycle.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/event.h"
#include "common/exception.h"
#include "common/lock.h"
#include "common/random.h"
#include "common/thread.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;

TEST(Lock, AnotherThreadWaitsUntilEveryRecursiveLockIsReleased) {
    CLock lock;
    ASSERT_TRUE(lock.Lock(kInfinite));
    ASSERT_TRUE(lock.Lock(0));  // recursion never waits
    std::atomic<int> stage{0};
    std::atomic<bool> obtained{false};
    std::thread other([&] {
        EXPECT_FALSE(lock.Lock(20));  // held twice: a bounded wait fails
        stage = 1;
        while (stage != 2) std::this_thread::yield();
        EXPECT_FALSE(lock.Lock(20));  // still held once
        stage = 3;
        while (stage != 4) std::this_thread::yield();
        obtained = lock.Lock(kInfinite);
        lock.Unlock();
    });
    while (stage != 1) std::this_thread::yield();
    lock.Unlock();
    stage = 2;
    while (stage != 3) std::this_thread::yield();
    lock.Unlock();
    stage = 4;
    other.join();
    EXPECT_TRUE(obtained);
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
}

TEST(Lock, ScopedLockReleasesOnlyWhatItObtained) {
    CLock lock;
    {
        CScopedLock hold(lock, kInfinite);
        EXPECT_TRUE(hold.IsLocked());
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
    }
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    ASSERT_TRUE(lock.Lock(kInfinite));
    std::thread([&] {
        CScopedLock attempt(lock, 10);
        EXPECT_FALSE(attempt.IsLocked());
    }).join();  // its destructor must not unlock what it never held
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    lock.Unlock();
}

TEST(LockDeathTest, ReleasingALockNotHeldEndsTheProcess) {
    CLock lock;
    EXPECT_DEATH(lock.Unlock(), "");
}

TEST(Event, AutoResetReleasesOneWaitAndResetsItself) {
    CEvent event(false);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    CEvent event(true);
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(10));
}

// The descriptor follows the event through set, set again, reset and set, whether it was made
// before or after the first Set; another thread's Set ends a poll on it.
TEST(Event, ADescriptorPollsReadableExactlyWhileTheManualEventIsSet) {
    auto readable = [](int descriptor, int milliseconds) {
        pollfd entry{descriptor, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) == 1 && (entry.revents & POLLIN) != 0;
    };
    CEvent early(true);
    const int descriptor = early.GetDescriptor();
    EXPECT_FALSE(readable(descriptor, 0));
    early.Set();
    early.Set();
    EXPECT_TRUE(readable(descriptor, 0));
    early.Reset();
    EXPECT_FALSE(readable(descriptor, 0));
    EXPECT_EQ(early.GetDescriptor(), descriptor);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        early.Set();
    });
    EXPECT_TRUE(readable(descriptor, 5000));
    setter.join();
    EXPECT_TRUE(early.Wait(0));

    CEvent late(true);
    late.Set();
    EXPECT_TRUE(readable(late.GetDescriptor(), 0));
    EXPECT_THROW(CEvent(false).GetDescriptor(), CMessageException);
}

TEST(Event, AutoResetWakesExactlyOneOfTwoWaiters) {
    CEvent event(false);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += event.Wait(300) ? 1 : 0; });
    std::thread b([&] { woken += event.Wait(300) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set();
    a.join();
    b.join();
    EXPECT_EQ(woken, 1);
}

TEST(Event, NamedEventsOfOneNameAreOneEvent) {
    CEvent first(true, "ovrin-test-event");
    EXPECT_FALSE(first.AlreadyExisted());
    CEvent second(true, "ovrin-test-event");
    EXPECT_TRUE(second.AlreadyExisted());
    second.Set();
    EXPECT_TRUE(first.Wait(0));
}

namespace {

class CountingThread : public CThread {
public:
    std::atomic<int> loops{0};
    uint32_t firstRandom = 0;

protected:
    void Execute() override {
        firstRandom = Random(0);
        while (!IsTerminating()) {
            ++loops;
            Sleep(1);
        }
    }
};

class ThrowingThread : public CThread {
protected:
    void Execute() override { throw CMessageException("escaped the body"); }
};

}  // namespace

TEST(Thread, IsCreatedSuspendedAndStopsOnTerminate) {
    CountingThread thread;
    CThread::Sleep(20);
    EXPECT_EQ(thread.loops, 0);  // suspended until Resume
    EXPECT_FALSE(thread.IsTerminating());
    thread.Resume();
    while (thread.loops < 3) CThread::Sleep(1);
    EXPECT_FALSE(thread.WaitFor(0));
    thread.Terminate();
    thread.Terminate();  // twice is harmless
    EXPECT_TRUE(thread.IsTerminating());
    EXPECT_TRUE(thread.WaitFor(kInfinite));
    EXPECT_TRUE(thread.IsTerminating());
}

TEST(Thread, EachThreadSeedsItsOwnRandomGenerator) {
    SeedThreadRandom(12345);
    uint32_t mainDraw = Random(0);
    CountingThread a, b;
    a.Resume();
    b.Resume();
    a.Terminate();
    b.Terminate();
    ASSERT_TRUE(a.WaitFor(kInfinite));
    ASSERT_TRUE(b.WaitFor(kInfinite));
    SeedThreadRandom(12345);
    EXPECT_EQ(Random(0), mainDraw);  // other threads did not disturb this thread's sequence
    EXPECT_NE(a.firstRandom, b.firstRandom);  // seeded with their own identifiers
}

TEST(ThreadDeathTest, AnExceptionEscapingTheBodyIsCriticalAndEndsTheProcess) {
    EXPECT_DEATH(
        {
            ThrowingThread thread;
            thread.Resume();
            thread.WaitFor(kInfinite);
        },
        R"(CRITICAL Win32ThreadTrampoline\(0x[0-9a-f]{8}\): escaped the body)");
}
