// Worker pools: placement, the duplicate refusal, failing units, parallel slices and stopping.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "common/xml_document.h"
#include "server/core/worker_thread_pool.h"
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

// Configuration values of one test; a missing one throws like the configuration does.
CWorkerEnvironment Environment(std::map<std::string, std::string> values) {
    CWorkerEnvironment environment;
    environment.configValue = [values](const std::string& name) {
        auto it = values.find(name);
        if (it == values.end())
            throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
        return it->second;
    };
    return environment;
}

// What the units of one test did, in order.
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
    size_t Size() const { return Entries().size(); }

private:
    mutable std::mutex guard;
    std::vector<std::string> entries;
};

class SequentialUnit : public CSequentialWorkUnit {
public:
    SequentialUnit(const std::string& name, Journal& journal, std::function<void()> body = {})
        : CSequentialWorkUnit(name), journal(journal), body(std::move(body)) {}
    void Process() override {
        journal.Add(GetName());
        if (body)
            body();
    }

private:
    Journal& journal;
    std::function<void()> body;
};

// Steps until it has been called `steps` times; each call advances the test's clock.
class ParallelUnit : public CParallelWorkUnit {
public:
    ParallelUnit(const std::string& name, Journal& journal, int steps, std::atomic<uint64_t>* clock = nullptr,
                 bool yields = false)
        : CParallelWorkUnit(name), journal(journal), steps(steps), clock(clock), yields(yields) {}
    bool Process(bool& yield) override {
        EXPECT_FALSE(yield);
        journal.Add(GetName());
        if (clock)
            *clock += 1000;
        yield = yields;
        return --steps > 0;
    }

private:
    Journal& journal;
    int steps;
    std::atomic<uint64_t>* clock;
    bool yields;
};

// The runs of equal entries: "A","A","B" gives {"A",2},{"B",1}.
std::vector<std::pair<std::string, int>> Runs(const std::vector<std::string>& entries) {
    std::vector<std::pair<std::string, int>> runs;
    for (const auto& entry : entries) {
        if (runs.empty() || runs.back().first != entry)
            runs.emplace_back(entry, 0);
        ++runs.back().second;
    }
    return runs;
}

}  // namespace

TEST(WorkerPoolPlacement, StickyIndexAddsSignExtendedBytesModuloTheCount) {
    EXPECT_EQ(StickyThreadIndex("", 4), 0u);
    EXPECT_EQ(StickyThreadIndex("AB", 4), 3u);  // (65 % 4 + 66) % 4
    // 0x80 counts as -128: 0xFFFFFF80 % 11 = 8, where +128 would give 7.
    EXPECT_EQ(StickyThreadIndex("\x80", 11), 8u);
    // 8 + 0xFFFFFF80 stays below 2^32: 4294967176 % 11 = 5.
    EXPECT_EQ(StickyThreadIndex("\x80\x80", 11), 5u);
    EXPECT_EQ(StickyThreadIndex("anything at all", 1), 0u);
}

TEST(WorkerPoolPlacement, StickyPushesOfOneNameLandOnOneThreadAndTheDuplicateIsRefused) {
    Journal journal;
    CSequentialWorkerPool pool(Environment({{"worker-threads-per-pool", "4"}}));
    ASSERT_EQ(pool.GetThreadCount(), 4);
    const std::string name = "CPOP3ClientConnection(joe, joe@pop.example:110)";
    const auto home = static_cast<int32_t>(StickyThreadIndex(name, 4));
    LogCapture log;
    pool.PushWorkUnit(std::make_shared<SequentialUnit>(name, journal), true);
    pool.PushWorkUnit(std::make_shared<SequentialUnit>(name, journal), true);
    pool.PushWorkUnit(std::make_shared<SequentialUnit>("other", journal), true);
    for (int32_t i = 0; i < 4; ++i) {
        size_t expected = (i == home ? 1 : 0) + (i == static_cast<int32_t>(StickyThreadIndex("other", 4)) ? 1 : 0);
        EXPECT_EQ(pool.GetThread(i)->GetUnitCount(), expected) << "thread " << i;
    }
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 2; }));
    // Once the first has left the list, the name is accepted again, on the same thread.
    ASSERT_TRUE(WaitUntil([&] { return pool.GetThread(home)->GetUnitCount() == 0; }));
    pool.PushWorkUnit(std::make_shared<SequentialUnit>(name, journal), true);
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 3; }));
    pool.Stop();
    auto warnings = log.LinesWith("WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("WARNING CWorkerThread::PushWorkUnit('" + name +
                               "'): ignoring duplicate entry, identical object is already being processed"),
              std::string::npos)
        << warnings[0];
}

TEST(WorkerPoolPlacement, UnitsPushedToAnyThreadSpreadOverThePool) {
    Journal journal;
    CSequentialWorkerPool pool(Environment({{"worker-threads-per-pool", "4"}}));
    LogCapture log;  // same-named units that meet on one thread are refused with a warning
    for (int i = 0; i < 40; ++i)
        pool.PushWorkUnit(std::make_shared<SequentialUnit>("same", journal), false);
    int used = 0;
    for (int32_t i = 0; i < 4; ++i)
        used += static_cast<int>(pool.GetThread(i)->GetUnitCount());
    EXPECT_GT(used, 1);  // 40 uniform draws all on one of 4 threads: about 1 in 10^23
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == static_cast<size_t>(used); }));
    pool.Stop();
    EXPECT_EQ(log.LinesWith("ignoring duplicate entry").size(), static_cast<size_t>(40 - used));
}

TEST(WorkerPoolCreation, ACountBelowOneIsRefused) {
    for (const char* count : {"0", "-2", "many", ""}) {
        LogCapture log;
        try {
            CParallelWorkerPool pool(Environment({{"worker-threads-per-pool", count}}));
            ADD_FAILURE() << "a pool was created with '" << count << "' threads";
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid value of worker-threads-per-pool: '") + count +
                                                 "', a worker pool needs at least one thread");
        }
        EXPECT_EQ(log.LinesWith("ERROR CWorkerThreadPool::CWorkerThreadPool(): Invalid value").size(), 1u);
    }
    LogCapture log;
    EXPECT_THROW(CSequentialWorkerPool(Environment({})), CMessageException);
    EXPECT_EQ(log.LinesWith("ERROR CWorkerThreadPool::CWorkerThreadPool(): Value for name 'worker-threads-per-pool' "
                            "is not found in the map")
                  .size(),
              1u);
}

TEST(SequentialWorker, AFailingUnitIsLoggedAndTheNextUnitRuns) {
    Journal journal;
    CSequentialWorkerPool pool(Environment({{"worker-threads-per-pool", "1"}}));
    std::weak_ptr<CSequentialWorkUnit> failing;
    {
        auto unit = std::make_shared<SequentialUnit>("first", journal, [] { throw CMessageException("boom"); });
        failing = unit;
        pool.PushWorkUnit(unit, false);
    }
    pool.PushWorkUnit(std::make_shared<SequentialUnit>("second", journal), false);
    pool.PushWorkUnit(std::make_shared<SequentialUnit>("third", journal), false);
    LogCapture log;
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 3 && pool.GetThread(0)->GetUnitCount() == 0; }));
    pool.Stop();
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(failing.expired());
    auto errors = log.LinesWith("ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("ERROR CWorkerThread<CSequentialWorkUnit>::Execute(): exception caught when processing "
                             "'first', ignoring and proceeding to remove: boom"),
              std::string::npos)
        << errors[0];
}

TEST(SequentialWorker, AUnitMayPushWorkOntoItsOwnThread) {
    Journal journal;
    CSequentialWorkerPool pool(Environment({{"worker-threads-per-pool", "3"}}));
    pool.PushWorkUnit(std::make_shared<SequentialUnit>("parent", journal,
                                                       [&] {
                                                           pool.PushWorkUnit(
                                                               std::make_shared<SequentialUnit>("parent", journal), true);
                                                           pool.PushWorkUnit(
                                                               std::make_shared<SequentialUnit>("child", journal), true);
                                                       }),
                      true);
    LogCapture log;
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 2; }));
    pool.Stop();
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"parent", "child"}));
    // The parent is still listed while it runs, so its own name is refused.
    EXPECT_EQ(log.LinesWith("PushWorkUnit('parent'): ignoring duplicate entry").size(), 1u);
}

TEST(ParallelWorker, AUnitReturningFalseIsRemovedAfterThatCall) {
    Journal journal;
    CParallelWorkerPool pool(Environment({{"worker-threads-per-pool", "1"},
                                          {"parallel-worker-thread-work-ms", "100"},
                                          {"parallel-worker-thread-sleep-ms", "1"}}));
    std::weak_ptr<CParallelWorkUnit> watch;
    {
        auto unit = std::make_shared<ParallelUnit>("once", journal, 1);
        watch = unit;
        pool.PushWorkUnit(unit, false);
    }
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return watch.expired(); }));
    EXPECT_EQ(pool.GetThread(0)->GetUnitCount(), 0u);
    EXPECT_EQ(journal.Entries(), std::vector<std::string>{"once"});
    pool.Stop();
}

TEST(ParallelWorker, AThrowingUnitIsRemovedAndLoggedByName) {
    struct Throwing : CParallelWorkUnit {
        std::atomic<int> calls{0};
        Throwing() : CParallelWorkUnit("thrower") {}
        bool Process(bool&) override {
            ++calls;
            throw CMessageException("secret reason");
        }
    };
    Journal journal;
    CParallelWorkerPool pool(Environment({{"worker-threads-per-pool", "1"},
                                          {"parallel-worker-thread-work-ms", "50"},
                                          {"parallel-worker-thread-sleep-ms", "0"}}));
    auto thrower = std::make_shared<Throwing>();
    pool.PushWorkUnit(thrower, false);
    pool.PushWorkUnit(std::make_shared<ParallelUnit>("survivor", journal, 3), false);
    LogCapture log;
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 3 && pool.GetThread(0)->GetUnitCount() == 0; }));
    pool.Stop();
    EXPECT_EQ(thrower->calls, 1);
    EXPECT_EQ(thrower.use_count(), 1);
    auto errors = log.LinesWith("ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].ends_with("ERROR CWorkerThread<CParallelWorkUnit>::Execute(): exception caught when "
                                    "processing 'thrower', removing object from the list"))
        << errors[0];
}

// A fake clock that only the units advance makes the slices exact: 1000 us per call.
TEST(ParallelWorker, TheWorkBudgetIsSharedInEqualSlicesPerUnit) {
    Journal journal;
    std::atomic<uint64_t> clock{0};
    auto environment = Environment({{"worker-threads-per-pool", "1"},
                                    {"parallel-worker-thread-work-ms", "100"},
                                    {"parallel-worker-thread-sleep-ms", "0"}});
    environment.elapsedMicroseconds = [&] { return clock.load(); };
    CParallelWorkerPool pool(environment);
    for (const char* name : {"A", "B", "C", "D"})
        pool.PushWorkUnit(std::make_shared<ParallelUnit>(name, journal, 60, &clock), false);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 240; }));
    pool.Stop();
    // 100 ms among 4 units: 25 000 us, that is 25 calls each; the last 10 calls finish them.
    using Run = std::pair<std::string, int>;
    EXPECT_EQ(Runs(journal.Entries()), (std::vector<Run>{{"A", 25}, {"B", 25}, {"C", 25}, {"D", 25},
                                                           {"A", 25}, {"B", 25}, {"C", 25}, {"D", 25},
                                                           {"A", 10}, {"B", 10}, {"C", 10}, {"D", 10}}));
}

TEST(ParallelWorker, AYieldingUnitGivesUpItsSliceAndAZeroBudgetGivesOneCallPerPass) {
    using Run = std::pair<std::string, int>;
    {
        Journal journal;
        std::atomic<uint64_t> clock{0};
        auto environment = Environment({{"worker-threads-per-pool", "1"},
                                        {"parallel-worker-thread-work-ms", "10"},
                                        {"parallel-worker-thread-sleep-ms", "0"}});
        environment.elapsedMicroseconds = [&] { return clock.load(); };
        CParallelWorkerPool pool(environment);
        pool.PushWorkUnit(std::make_shared<ParallelUnit>("Y", journal, 2, &clock, true), false);
        pool.PushWorkUnit(std::make_shared<ParallelUnit>("N", journal, 10, &clock), false);
        pool.Start();
        ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 12; }));
        pool.Stop();
        // Slices of 5000 us: N takes 5 calls per pass, Y one; after Y is gone N has the whole budget.
        EXPECT_EQ(Runs(journal.Entries()), (std::vector<Run>{{"Y", 1}, {"N", 5}, {"Y", 1}, {"N", 5}}));
    }
    {
        Journal journal;
        std::atomic<uint64_t> clock{0};
        auto environment = Environment({{"worker-threads-per-pool", "1"},
                                        {"parallel-worker-thread-work-ms", "0"},
                                        {"parallel-worker-thread-sleep-ms", "0"}});
        environment.elapsedMicroseconds = [&] { return clock.load(); };
        CParallelWorkerPool pool(environment);
        pool.PushWorkUnit(std::make_shared<ParallelUnit>("P", journal, 3), false);
        pool.PushWorkUnit(std::make_shared<ParallelUnit>("Q", journal, 3), false);
        pool.Start();
        ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 6; }));
        pool.Stop();
        EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"P", "Q", "P", "Q", "P", "Q"}));
    }
}

TEST(ParallelWorker, AMissingSettingEndsTheThreadAndItsUnitsNeverRun) {
    Journal journal;
    CParallelWorkerPool pool(Environment({{"worker-threads-per-pool", "1"}, {"parallel-worker-thread-work-ms", "5"}}));
    pool.PushWorkUnit(std::make_shared<ParallelUnit>("stranded", journal, 1), false);
    LogCapture log;
    pool.Start();
    ASSERT_TRUE(pool.GetThread(0)->WaitFor(20000));  // ends by itself
    EXPECT_EQ(journal.Size(), 0u);
    EXPECT_EQ(log.LinesWith("ERROR CWorkerThread<CParallelWorkUnit>::Execute(): Value for name "
                            "'parallel-worker-thread-sleep-ms' is not found in the map")
                  .size(),
              1u);
}

TEST(WorkerPoolLifecycle, StopWaitsForTheUnitInProgressAndDropsTheListedOnes) {
    Journal journal;
    auto pool = std::make_unique<CSequentialWorkerPool>(Environment({{"worker-threads-per-pool", "2"}}));
    const auto home = static_cast<int32_t>(StickyThreadIndex("busy", 2));
    // The unit in progress runs until its thread is asked to stop.
    pool->PushWorkUnit(std::make_shared<SequentialUnit>("busy", journal,
                                                        [&] {
                                                            while (!pool->GetThread(home)->IsTerminating())
                                                                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                                            journal.Add("busy ended");
                                                        }),
                       true);
    std::weak_ptr<CSequentialWorkUnit> waiting;
    {
        auto unit = std::make_shared<SequentialUnit>("waiting", journal);
        waiting = unit;
        pool->GetThread(home)->PushWorkUnit(unit);
    }
    pool->Start();
    ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 1; }));
    pool->Stop();
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"busy", "busy ended"}));
    for (int32_t i = 0; i < 2; ++i)
        EXPECT_TRUE(pool->GetThread(i)->WaitFor(0));
    pool.reset();
    EXPECT_TRUE(waiting.expired());
}

namespace {

// Reads one byte per step from its end of a socket pair and waits on it for the next.
class WaitingUnit : public CParallelWorkUnit {
public:
    WaitingUnit(int descriptor, std::atomic<int>& bytes) : CParallelWorkUnit("waiting"), descriptor(descriptor), bytes(bytes) {}
    bool Process(bool& yield) override {
        char byte;
        if (::recv(descriptor, &byte, 1, MSG_DONTWAIT) == 1)
            ++bytes;
        yield = true;
        return true;
    }
    CSocketWait GetWait() const override {
        CSocketWait wait;
        wait.descriptor = descriptor;
        wait.directions = CSocketWait::kRead;
        return wait;
    }

private:
    int descriptor;
    std::atomic<int>& bytes;
};

}  // namespace

TEST(ParallelWorker, ThePauseEndsWhenAUnitsSocketIsReadyOrWorkArrivesOrTheThreadStops) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::atomic<int> bytes{0};
    Journal journal;
    {
        // A pause of ten minutes: only readiness can bring the unit back within the test's waits.
        CParallelWorkerPool pool(Environment({{"worker-threads-per-pool", "1"},
                                              {"parallel-worker-thread-work-ms", "10"},
                                              {"parallel-worker-thread-sleep-ms", "600000"}}));
        pool.PushWorkUnit(std::make_shared<WaitingUnit>(pair[0], bytes), false);
        pool.Start();
        for (int i = 1; i <= 3; ++i) {
            ASSERT_EQ(::send(pair[1], "x", 1, 0), 1);
            ASSERT_TRUE(WaitUntil([&] { return bytes.load() == i; })) << i;
        }
        pool.PushWorkUnit(std::make_shared<ParallelUnit>("late", journal, 1), false);
        ASSERT_TRUE(WaitUntil([&] { return journal.Size() == 1; }));
        pool.Stop();  // would wait out the pause if the stop request did not end it
    }
    ::close(pair[0]);
    ::close(pair[1]);
}
