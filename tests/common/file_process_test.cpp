// CFile between processes: share modes hold across process boundaries, and a delete-on-close
// ".lock" file never has two holders, even with the name deleted and recreated under contention.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/file.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::RunInChild;
using OvrinTest::StartChild;
using OvrinTest::TempDir;
using OvrinTest::WaitChild;
using OvrinTest::WriteWholeFile;

namespace {

// 0 when the open is refused like a sharing violation, 1 when it succeeds, 2 on another failure.
int TryOpen(const std::string& path, uint32_t share) {
    try {
        CFile file(path, CFile::ACCESS_READ, share, CFile::OPEN_EXISTING, 0);
        return 1;
    } catch (const CMessageException& e) {
        return std::string(e.what()) == "CreateFile('" + path + "') failed, GetLastError=11" ? 0 : 2;
    }
}

class CPipe {
public:
    CPipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~CPipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Signal() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
    bool Wait() {
        char c;
        return ::read(fds[0], &c, 1) == 1;
    }

private:
    int fds[2];
};

// Counters shared by the processes of one test, in memory that fork does not copy.
struct CSharedCounters {
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> acquired[2] = {0, 0};
};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

TEST(CFileShareAcrossProcesses, ExclusiveOpenFailsWhileAnotherProcessHoldsTheFile) {
    TempDir dir;
    std::string path = dir / "mailbox-file";
    WriteWholeFile(path, "x");
    LogCapture log;
    {
        CFile reader(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
        EXPECT_EQ(RunInChild([&] { return TryOpen(path, CFile::SHARE_NONE); }, 30), 0);
        EXPECT_EQ(RunInChild([&] { return TryOpen(path, CFile::SHARE_READ); }, 30), 1);
    }
    EXPECT_EQ(RunInChild([&] { return TryOpen(path, CFile::SHARE_NONE); }, 30), 1);

    // The other way round: the child holds the file exclusively until told to let go.
    CPipe held, release;
    pid_t child = StartChild([&] {
        CFile owner(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0);
        held.Signal();
        release.Wait();
        return 0;
    });
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(TryOpen(path, CFile::SHARE_READ), 0);
    EXPECT_EQ(TryOpen(path, CFile::SHARE_NONE), 0);
    release.Signal();
    EXPECT_EQ(WaitChild(child, 30), 0);
    EXPECT_EQ(TryOpen(path, CFile::SHARE_NONE), 1);
}

// Two processes take and release the same lock file as fast as they can. Each release deletes
// the name, so the other side keeps opening files that are about to vanish or that were just
// recreated; a holder must never find the other one inside.
TEST(CFileShareAcrossProcesses, TwoProcessesNeverHoldTheLockFileAtOnce) {
    TempDir dir;
    std::string lockPath = dir / ".lock";
    void* memory = ::mmap(nullptr, sizeof(CSharedCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* counters = new (memory) CSharedCounters;

    // Each side retries at once when refused and pauses briefly after a release, so that both
    // get the lock many times and most attempts meet a lock file in the middle of its turnover.
    constexpr int kTurns = 500;
    auto contend = [&](int side) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int round = 0; round < 100000 && counters->acquired[side] < kTurns &&
                            std::chrono::steady_clock::now() < deadline;
             ++round) {
            try {
                CFile lock(lockPath, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, CFile::DELETE_ON_CLOSE);
                if (counters->holders.fetch_add(1) != 0)
                    counters->overlaps.fetch_add(1);
                ++counters->acquired[side];
                std::this_thread::yield();
                counters->holders.fetch_sub(1);
            } catch (const CMessageException&) {
                continue;  // held by the other side
            }
            std::this_thread::sleep_for(std::chrono::microseconds(round % 50));
        }
        return 0;
    };

    LogCapture log;  // every refused open logs its trace line
    pid_t child = StartChild([&] { return contend(1); });
    ASSERT_GT(child, 0);
    contend(0);
    EXPECT_EQ(WaitChild(child, 60), 0);

    EXPECT_EQ(counters->overlaps.load(), 0);
    EXPECT_GT(counters->acquired[0].load(), kTurns / 10);
    EXPECT_GT(counters->acquired[1].load(), kTurns / 10);
    EXPECT_FALSE(std::filesystem::exists(lockPath));  // the last holder deleted it
    for (const auto& line : log.Lines()) {
        if (line.find(" ERROR ") != std::string::npos) {
            ASSERT_NE(line.find("failed, GetLastError=11"), std::string::npos) << line;
        }
    }
    counters->~CSharedCounters();
    ::munmap(memory, sizeof(CSharedCounters));
}
