// CFile on one process: open modes and their failures, reading, writing, seeking, sizes, share
// modes between descriptors, unique names and the delete-on-close family.
#include "common/file.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/format.h"
#include "tests/support/thrown_message.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::ThrownMessage;
using OvrinTest::LogCapture;
using OvrinTest::ReadWholeFile;
using OvrinTest::RunInChild;
using OvrinTest::TempDir;
using OvrinTest::WriteWholeFile;

namespace {

constexpr uint32_t kReadWrite = CFile::ACCESS_READ | CFile::ACCESS_WRITE;

std::string ReadRest(CFile& file) {
    std::string text;
    char buffer[7];  // small, so that reading takes several calls
    while (uint32_t got = file.Read(buffer, sizeof buffer))
        text.append(buffer, got);
    return text;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace

TEST(CFileOpen, DispositionsCreateOpenAndTruncateAsAsked) {
    TempDir dir;
    std::string path = dir / "a.txt";
    {
        CFile created(path, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_NEW, 0);
        created.Write("hello", 5);
        EXPECT_EQ(created.GetFilename(), path);
    }
    {
        CFile opened(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
        EXPECT_EQ(ReadRest(opened), "hello");
    }
    {
        CFile always(path, kReadWrite, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, 0);
        EXPECT_EQ(ReadRest(always), "hello");  // kept
    }
    {
        CFile truncated(path, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_ALWAYS, 0);
        EXPECT_EQ(truncated.GetSize(), 0u);
    }
    std::string fresh = dir / "fresh";
    CFile(fresh, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, 0);
    EXPECT_TRUE(Exists(fresh));
}

TEST(CFileOpen, FailuresCarryTheNameAndErrnoThroughTheTrace) {
    TempDir dir;
    std::string existing = dir / "x";
    WriteWholeFile(existing, "x");
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { CFile(existing, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_NEW, 0); }),
              "CreateFile('" + existing + "') failed, GetLastError=17");
    std::string missing = dir / "missing";
    EXPECT_EQ(ThrownMessage([&] { CFile(missing, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0); }),
              "CreateFile('" + missing + "') failed, GetLastError=2");
    EXPECT_FALSE(Exists(missing));
    // An unknown disposition is refused, not mistaken for one of the four.
    EXPECT_EQ(ThrownMessage([&] { CFile(missing, kReadWrite, CFile::SHARE_NONE, 7, 0); }),
              "CreateFile('" + missing + "') failed, GetLastError=22");
    EXPECT_FALSE(Exists(missing));
    // A directory is never opened as a file.
    EXPECT_EQ(ThrownMessage([&] { CFile(dir.Path(), CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0); }),
              "CreateFile('" + dir.Path() + "') failed, GetLastError=21");
    auto traced = log.LinesWith("ERROR CFileImpl::CFileImpl('" + missing + "'): CreateFile('" + missing + "') failed");
    EXPECT_EQ(traced.size(), 2u);
}

TEST(CFileIO, ReadsWritesAndReportsAFailedWriteWithTheTrace) {
    TempDir dir;
    std::string path = dir / "data";
    std::string payload(100000, 'q');
    payload[99999] = '!';
    {
        CFile file(path, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_NEW, 0);
        file.Write(payload.data(), static_cast<uint32_t>(payload.size()));
        file.Flush();
        EXPECT_EQ(file.GetSize(), payload.size());
        EXPECT_EQ(file.SetFilePointer(0, CFile::BEGIN), 0u);
        EXPECT_EQ(ReadRest(file), payload);
        char byte;
        EXPECT_EQ(file.Read(&byte, 1), 0u);  // end of file
    }
    CFile readOnly(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { readOnly.Write("x", 1); }), "WriteFile() failed, GetLastError=9");
    EXPECT_EQ(log.LinesWith("ERROR CFileImpl::Write(0x").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CFile::Write(0x").size(), 1u);
    EXPECT_EQ(log.LinesWith(", 1): WriteFile() failed, GetLastError=9").size(), 2u);
    EXPECT_EQ(ReadWholeFile(path), payload);
}

TEST(CFileIO, SetFilePointerSeeksFromEachOrigin) {
    TempDir dir;
    std::string path = dir / "digits";
    WriteWholeFile(path, "0123456789");
    CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
    char c;
    EXPECT_EQ(file.SetFilePointer(3, CFile::BEGIN), 3u);
    file.Read(&c, 1);
    EXPECT_EQ(c, '3');
    EXPECT_EQ(file.SetFilePointer(-2, CFile::END), 8u);
    file.Read(&c, 1);
    EXPECT_EQ(c, '8');
    EXPECT_EQ(file.SetFilePointer(2, CFile::BEGIN), 2u);
    EXPECT_EQ(file.SetFilePointer(3, CFile::CURRENT), 5u);
    EXPECT_EQ(file.SetFilePointer(-1, 7), 4u);  // any other origin counts from the current position
    file.Read(&c, 1);
    EXPECT_EQ(c, '4');

    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { file.SetFilePointer(-10, CFile::BEGIN); }),
              "SetFilePointer(4294967286, BEGIN) failed, GetLastError=22");
    EXPECT_EQ(log.LinesWith("ERROR CFile::SetFilePointer(4294967286, BEGIN): SetFilePointer(").size(), 1u);
    EXPECT_EQ(file.SetFilePointer(0, CFile::CURRENT), 5u);
}

TEST(CFileIO, SizesAndPositionsBeyondThirtyTwoBitsAreRefusedNotCut) {
    TempDir dir;
    std::string path = dir / "huge";
    WriteWholeFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), (5LL << 30) + 7), 0);  // sparse: no real disk space
    CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
    LogCapture log;
    std::string message = ThrownMessage([&] { file.GetSize(); });
    EXPECT_TRUE(message.starts_with("GetSize(")) << message;
    EXPECT_TRUE(message.ends_with(") failed, GetLastError=75")) << message;
    EXPECT_EQ(log.LinesWith("ERROR CFileImpl::GetSize(): GetSize(").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CFile::GetSize(): GetSize(").size(), 1u);

    file.SetFilePointer(10, CFile::BEGIN);
    EXPECT_EQ(ThrownMessage([&] { file.SetFilePointer(0, CFile::END); }),
              "SetFilePointer(0, END) failed, GetLastError=75");
    EXPECT_EQ(file.SetFilePointer(0, CFile::CURRENT), 10u);  // the failed seek did not move
}

TEST(CFileShare, ExclusiveOpenFailsWhileAnotherDescriptorHoldsTheFile) {
    TempDir dir;
    std::string path = dir / "shared";
    WriteWholeFile(path, "content");
    LogCapture log;
    std::string refused = "CreateFile('" + path + "') failed, GetLastError=11";
    {
        CFile reader(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
        CFile second(path, kReadWrite, CFile::SHARE_READ_WRITE, CFile::OPEN_EXISTING, 0);  // shared with shared
        EXPECT_EQ(ThrownMessage([&] { CFile(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0); }),
                  refused);
        // Any share code other than the two shared ones is exclusive.
        EXPECT_EQ(ThrownMessage([&] { CFile(path, CFile::ACCESS_READ, 9, CFile::OPEN_EXISTING, 0); }), refused);
    }
    {
        CFile owner(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0);
        EXPECT_EQ(ThrownMessage([&] { CFile(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0); }),
                  refused);
        EXPECT_EQ(ThrownMessage([&] { CFile(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, 0); }),
                  refused);
    }
    CFile again(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0);  // all released
}

TEST(CFileShare, RefusedCreateAlwaysLeavesTheHoldersDataAlone) {
    TempDir dir;
    std::string path = dir / "held";
    WriteWholeFile(path, "precious");
    CFile owner(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0);
    LogCapture log;
    EXPECT_THROW(CFile(path, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_ALWAYS, 0), CMessageException);
    EXPECT_EQ(ReadWholeFile(path), "precious");
}

TEST(CFileShare, CopiesShareOneOpenFileUntilTheLastGoes) {
    TempDir dir;
    std::string path = dir / ".lock";
    std::optional<CFile> copy;
    {
        CFile lock(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, CFile::DELETE_ON_CLOSE);
        copy = lock;
    }
    EXPECT_TRUE(Exists(path));
    {
        LogCapture log;
        EXPECT_THROW(CFile(path, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_ALWAYS, 0), CMessageException);
    }
    copy.reset();
    EXPECT_FALSE(Exists(path));
}

TEST(CFileDeleteOnClose, CanBeSwitchedEitherWay) {
    TempDir dir;
    std::string kept = dir / "kept", dropped = dir / "dropped";
    {
        CFile file(kept, kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, CFile::DELETE_ON_CLOSE);
        file.Write("x", 1);
        file.SetDeleteOnClose(false);
    }
    {
        CFile file(dropped, kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, 0);
        file.SetDeleteOnClose(true);
    }
    EXPECT_EQ(ReadWholeFile(kept), "x");
    EXPECT_FALSE(Exists(dropped));
}

TEST(CFileDeleteOnClose, FailedDeleteDuringUnwindingIsLoggedAndTheFileStillCloses) {
    TempDir dir;
    std::string path = dir / "message.msg", moved = dir / "moved.msg";
    LogCapture log;
    try {
        CFile file(path, kReadWrite, CFile::SHARE_NONE, CFile::CREATE_NEW, CFile::DELETE_ON_CLOSE);
        // The name now leads to a non-empty directory, which no unlink removes (not even root's).
        ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
        std::filesystem::create_directory(path);
        WriteWholeFile(path + "/inside", "");
        throw std::runtime_error("first failure");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first failure");  // the process goes on, with the original exception
    }
    EXPECT_EQ(log.LinesWith("WARNING CFile::DeleteFile('" + path + "'): DeleteFile() failed, GetLastError=21").size(),
              1u);
    EXPECT_EQ(log.LinesWith("ERROR CFileImpl::~CFileImpl(): DeleteFile('" + path + "') failed, GetLastError=21")
                  .size(),
              1u);
    // Closed: the exclusive lock is gone with the descriptor.
    CFile reopened(moved, CFile::ACCESS_READ, CFile::SHARE_NONE, CFile::OPEN_EXISTING, 0);
}

TEST(CFileUniqueName, DrawsNamesUntilOneIsFree) {
    TempDir dir;
    std::set<std::string> taken;
    for (int n = 0; n < 1000; n += 2) {  // every even number taken
        WriteWholeFile(dir / Format("%03d.msg", n), "old");
        taken.insert(dir / Format("%03d.msg", n));
    }
    CFile file(dir / "%03d.msg", kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, CFile::UNIQUE_NAME);
    std::string name = file.GetFilename();
    EXPECT_EQ(taken.count(name), 0u) << name;
    ASSERT_EQ(name.size(), (dir / "000.msg").size());
    EXPECT_EQ((name[name.size() - 5] - '0') % 2, 1) << name;
    EXPECT_EQ(file.GetSize(), 0u);
    for (const auto& path : taken)
        ASSERT_EQ(ReadWholeFile(path), "old");
}

TEST(CFileUniqueName, EveryNameTakenThrowsWithThePattern) {
    TempDir dir;
    for (int n = 0; n < 1000; ++n)
        WriteWholeFile(dir / Format("%03d.msg", n), "");
    std::string pattern = dir / "%03d.msg";
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] {
                  CFile(pattern, kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW,
                        CFile::UNIQUE_NAME | CFile::DELETE_ON_CLOSE);
              }),
              "CreateFile('" + pattern + "') failed, GetLastError=17");
    EXPECT_EQ(log.LinesWith("ERROR CFileImpl::CFileImpl('" + pattern + "'): CreateFile('" + pattern + "')").size(),
              1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1000);
}

TEST(CFileUniqueName, PatternWithoutExactlyOneIntegerConversionIsRefused) {
    TempDir dir;
    LogCapture log;
    for (std::string bad : {"%s.msg", "plain.msg", "%d-%d.msg", "%ld.msg", "%03d%n"}) {
        std::string pattern = dir / bad;
        EXPECT_EQ(ThrownMessage([&] { CFile(pattern, kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, CFile::UNIQUE_NAME); }),
                  "CreateFile('" + pattern + "') failed, GetLastError=22");
    }
    // A literal percent sign is fine.
    CFile file(dir / "100%%-%03d.msg", kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, CFile::UNIQUE_NAME);
    EXPECT_TRUE(file.GetFilename().find("/100%-") != std::string::npos) << file.GetFilename();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// A write cut short by the file size limit: the child sees the failure, the file must be gone
// (or kept, without the flag) once the last copy is destroyed.
static int ShortWriteChild(const std::string& pattern, uint32_t flags) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 10;
    std::string payload(200, 'm');
    std::string name;
    try {
        CFile file(pattern, kReadWrite, CFile::SHARE_READ, CFile::CREATE_NEW, CFile::UNIQUE_NAME | flags);
        name = file.GetFilename();
        try {
            file.Write(payload.data(), static_cast<uint32_t>(payload.size()));
            return 11;  // a write past the limit must not succeed
        } catch (const CMessageException& e) {
            if (std::string(e.what()) != "WriteFile() failed, GetLastError=27")
                return 12;
        }
    } catch (...) {
        return 13;
    }
    return Exists(name) ? 1 : 0;
}

TEST(CFileDeleteOnWriteFailure, ShortWriteLeavesNoFile) {
    TempDir dir;
    LogCapture log;
    EXPECT_EQ(RunInChild([&] { return ShortWriteChild(dir / "%03d.msg", CFile::DELETE_ON_WRITE_FAILURE); }, 30), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 0);
    // Without the flag the partial file stays (the child reports 1: it still exists).
    EXPECT_EQ(RunInChild([&] { return ShortWriteChild(dir / "%03d.msg", 0); }, 30), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}
