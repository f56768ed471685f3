// CLockablePool: loading once, locking out holders, reloading after a lock, and the cases
// that must stay harmless (Clear while locked, stray unlocks, Clear while a holder works).
#include "server/core/lockable_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/exception.h"
#include "tests/support/held_elsewhere.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using namespace std::chrono_literals;
using OvrinTest::HeldElsewhere;
using OvrinTest::LogCapture;

namespace {

// Counts its loads and releases; "bad" names fail to load, as a missing file does.
struct Loaded {
    static inline std::atomic<int> loads{0};
    static inline std::atomic<int> releases{0};
    explicit Loaded(const std::string& name) : name(name) {
        if (name == "bad")
            throw CMessageException("cannot load '%s'", name.c_str());
        ++loads;
    }
    ~Loaded() { ++releases; }
    std::string name;
};

class LockablePool : public testing::Test {
protected:
    void SetUp() override {
        Loaded::loads = 0;
        Loaded::releases = 0;
    }
    CLockablePool<Loaded> pool;
};

// Runs GetObject on another thread; the future is ready once it returns.
std::future<std::shared_ptr<Loaded>> GetElsewhere(CLockablePool<Loaded>& pool, const std::string& name) {
    return std::async(std::launch::async, [&pool, name] { return pool.GetObject(name, kInfinite); });
}

bool ReadyWithin(const std::future<std::shared_ptr<Loaded>>& future, std::chrono::milliseconds time) {
    return future.wait_for(time) == std::future_status::ready;
}

}  // namespace

TEST_F(LockablePool, TwoGetsLoadOnceAndShareTheObject) {
    auto first = pool.GetObject("alice", kInfinite);
    auto second = pool.GetObject("alice", kInfinite);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->name, "alice");
    EXPECT_EQ(Loaded::loads, 1);
    EXPECT_NE(pool.GetObject("bob", kInfinite), first);
    EXPECT_EQ(Loaded::loads, 2);
}

TEST_F(LockablePool, AFailedLoadReachesTheCallerAndLeavesNothingCached) {
    LogCapture log;
    EXPECT_THROW(pool.GetObject("bad", kInfinite), CMessageException);
    EXPECT_THROW(pool.GetObject("bad", kInfinite), CMessageException);
    EXPECT_EQ(log.LinesWith("CLockablePool::GetObject(0x").size(), 2u);
    // The name's lock was released on the way out: it can still be locked.
    EXPECT_TRUE(pool.LockObject("bad", 0));
    pool.UnlockObject("bad");
}

TEST_F(LockablePool, NamesThatNeverLoadLeaveNothingBehind) {
    pool.GetObject("alice", kInfinite);
    for (int i = 0; i < 100; ++i)
        EXPECT_THROW(pool.GetObject("bad", kInfinite), CMessageException);
    EXPECT_EQ(pool.GetNameCount(), 1u);
    // An editor's name stays while the editor holds it, also when its load fails.
    ASSERT_TRUE(pool.LockObject("bad", 0));
    EXPECT_THROW(pool.GetObject("bad", 0), CMessageException);
    EXPECT_EQ(pool.GetNameCount(), 2u);
    EXPECT_EQ(std::async(std::launch::async, [&] { return pool.GetObject("bad", 0); }).get(), nullptr);
    pool.UnlockObject("bad");
    EXPECT_EQ(pool.GetNameCount(), 1u);
}

TEST_F(LockablePool, LockOfAnUnknownNameSucceedsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(pool.LockObject("nobody", 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    pool.UnlockObject("nobody");
    EXPECT_EQ(Loaded::loads, 0);
}

TEST_F(LockablePool, AfterLockAndUnlockTheObjectIsLoadedAfresh) {
    auto before = pool.GetObject("alice", kInfinite).get();
    EXPECT_TRUE(pool.LockObject("alice", 1000));
    EXPECT_EQ(Loaded::releases, 1);  // released while locked, so an editor sees the final file
    pool.UnlockObject("alice");
    auto after = pool.GetObject("alice", kInfinite);
    EXPECT_EQ(Loaded::loads, 2);
    EXPECT_EQ(after->name, "alice");
    (void)before;
}

TEST_F(LockablePool, GetWaitsWhileTheNameIsLockedAndOtherNamesGoOn) {
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    auto waiting = GetElsewhere(pool, "alice");
    EXPECT_FALSE(ReadyWithin(waiting, 200ms));
    auto other = GetElsewhere(pool, "bob");
    EXPECT_TRUE(ReadyWithin(other, 5s));
    // A bounded get gives up and says so; a try of no time at all does not wait.
    auto bounded = std::async(std::launch::async, [&] { return pool.GetObject("alice", 100); });
    ASSERT_TRUE(ReadyWithin(bounded, 5s));
    EXPECT_EQ(bounded.get(), nullptr);
    EXPECT_EQ(std::async(std::launch::async, [&] { return pool.GetObject("alice", 0); }).get(), nullptr);
    pool.UnlockObject("alice");
    ASSERT_TRUE(ReadyWithin(waiting, 5s));
    EXPECT_EQ(waiting.get()->name, "alice");
}

TEST_F(LockablePool, TheLockingThreadMayStillGetTheObject) {
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    EXPECT_EQ(pool.GetObject("alice", kInfinite)->name, "alice");
    pool.UnlockObject("alice");
}

TEST_F(LockablePool, LockWaitsForAHolderToLetGo) {
    auto held = pool.GetObject("alice", kInfinite);
    auto locking = std::async(std::launch::async, [&] { return pool.LockObject("alice", 5000); });
    EXPECT_NE(locking.wait_for(200ms), std::future_status::ready);
    held.reset();
    ASSERT_EQ(locking.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(locking.get());
    EXPECT_EQ(Loaded::releases, 1);
}

TEST_F(LockablePool, LockTimesOutWhileHeldAndPutsTheObjectBack) {
    auto held = pool.GetObject("alice", kInfinite);
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pool.LockObject("alice", 300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    auto warnings = log.LinesWith("): an attempt to lock object timed out");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("WARNING CLockablePool::LockObject(0x"), std::string::npos);
    EXPECT_NE(warnings[0].find(", 300): "), std::string::npos);
    // Not locked, and the very object is still cached for other callers.
    auto other = GetElsewhere(pool, "alice");
    ASSERT_TRUE(ReadyWithin(other, 5s));
    EXPECT_EQ(other.get(), held);
    EXPECT_EQ(Loaded::loads, 1);
}

TEST_F(LockablePool, LockTimesOutWhileAnotherThreadHoldsTheName) {
    HeldElsewhere editor(pool, "alice");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pool.LockObject("alice", 200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    editor.Release();
    EXPECT_TRUE(pool.LockObject("alice", 1000));
    pool.UnlockObject("alice");
}

TEST_F(LockablePool, TwoLocksNeedTwoUnlocks) {
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    pool.UnlockObject("alice");
    auto waiting = GetElsewhere(pool, "alice");
    EXPECT_FALSE(ReadyWithin(waiting, 200ms));
    pool.UnlockObject("alice");
    EXPECT_TRUE(ReadyWithin(waiting, 5s));
}

TEST_F(LockablePool, StrayUnlocksAreHarmless) {
    pool.UnlockObject("never-mentioned");
    pool.GetObject("alice", kInfinite);
    pool.UnlockObject("alice");  // loaded, never locked
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    pool.UnlockObject("alice");
    pool.UnlockObject("alice");  // one too many
    // Another thread's unlock does not release this thread's lock.
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    std::thread([&] { pool.UnlockObject("alice"); }).join();
    auto waiting = GetElsewhere(pool, "alice");
    EXPECT_FALSE(ReadyWithin(waiting, 200ms));
    pool.UnlockObject("alice");
    EXPECT_TRUE(ReadyWithin(waiting, 5s));
}

TEST_F(LockablePool, ClearMakesEveryNameLoadAgain) {
    pool.GetObject("alice", kInfinite);
    pool.GetObject("bob", kInfinite);
    EXPECT_EQ(Loaded::releases, 0);  // cached by the pool
    pool.Clear();
    EXPECT_EQ(Loaded::releases, 2);
    pool.GetObject("alice", kInfinite);
    pool.GetObject("bob", kInfinite);
    EXPECT_EQ(Loaded::loads, 4);
}

TEST_F(LockablePool, ClearWhileLockedKeepsTheLock) {
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    std::thread([&] { pool.Clear(); }).join();  // the periodic flush runs on another thread
    pool.Clear();                               // and the shutdown on the locking one
    auto waiting = GetElsewhere(pool, "alice");
    EXPECT_FALSE(ReadyWithin(waiting, 200ms));
    pool.UnlockObject("alice");
    EXPECT_TRUE(ReadyWithin(waiting, 5s));
    pool.UnlockObject("alice");  // the lock is gone now; a second unlock changes nothing
}

TEST_F(LockablePool, AfterClearANameIsLoadedAfreshOnlyOnceItsLastHolderLetGo) {
    auto held = pool.GetObject("alice", kInfinite);
    pool.Clear();
    // A second object now would write its own file over the first's.
    auto waiting = GetElsewhere(pool, "alice");
    EXPECT_FALSE(ReadyWithin(waiting, 200ms));
    EXPECT_EQ(Loaded::loads, 1);
    held.reset();
    ASSERT_TRUE(ReadyWithin(waiting, 5s));
    auto fresh = waiting.get();
    EXPECT_EQ(Loaded::releases, 1);
    EXPECT_EQ(Loaded::loads, 2);
    EXPECT_EQ(pool.GetObject("alice", kInfinite), fresh);  // and it is the name's object from now on
}

TEST_F(LockablePool, AClearThatFindsTheNameLockedReloadsItAtItsNextUse) {
    ASSERT_TRUE(pool.LockObject("alice", 1000));
    pool.GetObject("alice", kInfinite);  // the editor's own use caches it
    std::thread([&] { pool.Clear(); }).join();
    pool.UnlockObject("alice");
    EXPECT_EQ(pool.GetObject("alice", kInfinite)->name, "alice");
    EXPECT_EQ(Loaded::loads, 2);
    EXPECT_EQ(Loaded::releases, 1);
}

TEST_F(LockablePool, LockAfterClearStillWaitsForTheHolder) {
    auto held = pool.GetObject("alice", kInfinite);
    pool.Clear();
    EXPECT_FALSE(pool.LockObject("alice", 200));
    EXPECT_EQ(Loaded::releases, 0);
    auto locking = std::async(std::launch::async, [&] {
        bool locked = pool.LockObject("alice", 5000);
        pool.UnlockObject("alice");
        return locked;
    });
    std::this_thread::sleep_for(100ms);
    held.reset();
    EXPECT_TRUE(locking.get());
    EXPECT_EQ(Loaded::releases, 1);
}

namespace {

// Its release takes a while, as a ruleset writing itself back does.
struct SlowToRelease {
    static inline std::promise<void>* releaseStarted = nullptr;
    static inline std::atomic<bool> released{false};
    static inline std::atomic<bool> loadedBeforeRelease{false};
    explicit SlowToRelease(const std::string&) {
        if (releaseStarted && !released)
            loadedBeforeRelease = true;
    }
    ~SlowToRelease() {
        if (releaseStarted) {
            releaseStarted->set_value();
            std::this_thread::sleep_for(300ms);
            released = true;
        }
    }
};

}  // namespace

TEST(LockablePoolRelease, ANameIsNotLoadedAgainWhileItsObjectStillReleases) {
    // Released by the Clear itself, or after the Clear by a worker that still held it.
    for (bool byHolder : {false, true}) {
        SCOPED_TRACE(byHolder ? "last holder" : "clear");
        SlowToRelease::released = false;
        SlowToRelease::loadedBeforeRelease = false;
        CLockablePool<SlowToRelease> pool;
        auto held = pool.GetObject("alice", kInfinite);
        if (!byHolder)
            held.reset();
        std::promise<void> started;
        SlowToRelease::releaseStarted = &started;
        if (byHolder)
            pool.Clear();
        std::thread releasing([&] {
            if (byHolder)
                held.reset();
            else
                pool.Clear();
        });
        started.get_future().wait();
        pool.GetObject("alice", kInfinite);  // waits for the release to finish, then loads
        releasing.join();
        SlowToRelease::releaseStarted = nullptr;
        EXPECT_TRUE(SlowToRelease::released);
        EXPECT_FALSE(SlowToRelease::loadedBeforeRelease);
    }
}
