// The by-name operations of CFile (delete, move without replacing, copy, overwrite through a
// copy, directories made and removed) and the wildcard listings of files and directories.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/file.h"
#include "common/format.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::ReadWholeFile;
using OvrinTest::TempDir;
using OvrinTest::WriteWholeFile;

namespace {

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void SetWriteTime(const std::string& path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

time_t WriteTime(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mtim.tv_sec;
}

// A scratch directory on another filesystem than the test directory, or "" when there is none.
class CForeignDir {
public:
    explicit CForeignDir(const std::string& near) {
        char pattern[] = "/dev/shm/ovrin-test-XXXXXX";
        if (!::mkdtemp(pattern))
            return;
        struct stat here {}, there {};
        if (::stat(near.c_str(), &here) == 0 && ::stat(pattern, &there) == 0 && here.st_dev != there.st_dev)
            path = pattern;
        else
            std::filesystem::remove_all(pattern);
    }
    ~CForeignDir() {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    std::string path;
};

}  // namespace

TEST(CFileByName, DeleteFileRemovesOrWarns) {
    TempDir dir;
    std::string path = dir / "gone";
    WriteWholeFile(path, "x");
    EXPECT_TRUE(CFile::DeleteFile(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    LogCapture log;
    EXPECT_FALSE(CFile::DeleteFile(path));
    EXPECT_FALSE(CFile::DeleteFile(dir.Path()));  // directories are not deleted as files
    EXPECT_EQ(log.LinesWith("WARNING CFile::DeleteFile('" + path + "'): DeleteFile() failed, GetLastError=2").size(), 1u);
    EXPECT_EQ(log.LinesWith("WARNING CFile::DeleteFile('" + dir.Path() + "'): DeleteFile() failed, GetLastError=21")
                  .size(),
              1u);
    EXPECT_TRUE(std::filesystem::exists(dir.Path()));
}

TEST(CFileByName, DirectoriesAreMadeOnceAndRemovedOnlyWhenEmpty) {
    TempDir dir;
    LogCapture log;
    EXPECT_TRUE(CFile::CreateDirectory(dir / "old"));
    EXPECT_FALSE(CFile::CreateDirectory(dir / "old"));
    WriteWholeFile(dir / "old/a.msg", "x");
    EXPECT_FALSE(CFile::RemoveDirectory(dir / "old"));
    EXPECT_EQ(ReadWholeFile(dir / "old/a.msg"), "x");
    EXPECT_TRUE(CFile::DeleteFile(dir / "old/a.msg"));
    EXPECT_TRUE(CFile::RemoveDirectory(dir / "old"));
    EXPECT_TRUE(Entries(dir.Path()).empty());
    EXPECT_EQ(log.LinesWith("WARNING CFile::CreateDirectory('" + dir / "old" + "'): CreateDirectory() failed, "
                            "GetLastError=17").size(), 1u);
    EXPECT_EQ(log.LinesWith("WARNING CFile::RemoveDirectory('" + dir / "old" + "'): RemoveDirectory() failed, "
                            "GetLastError=39").size(), 1u);
}

TEST(CFileByName, MoveFileMovesAFile) {
    TempDir dir;
    WriteWholeFile(dir / "a.msg", "message a");
    SetWriteTime(dir / "a.msg", 1000000000);
    EXPECT_TRUE(CFile::MoveFile(dir / "a.msg", dir / "b.msg"));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"b.msg"});
    EXPECT_EQ(ReadWholeFile(dir / "b.msg"), "message a");
    EXPECT_EQ(WriteTime(dir / "b.msg"), 1000000000);
    LogCapture log;
    EXPECT_FALSE(CFile::MoveFile(dir / "a.msg", dir / "c.msg"));
    EXPECT_EQ(log.LinesWith("WARNING CFile::MoveFile('" + dir / "a.msg" + "', '" + dir / "c.msg" +
                            "'): MoveFile() failed, GetLastError=2")
                  .size(),
              1u);
}

TEST(CFileByName, MoveFileNeverReplacesAnExistingFile) {
    TempDir dir;
    WriteWholeFile(dir / "new.msg", "new message");
    WriteWholeFile(dir / "old.msg", "old message\r\n");
    LogCapture log;
    EXPECT_FALSE(CFile::MoveFile(dir / "new.msg", dir / "old.msg"));
    EXPECT_EQ(log.LinesWith("WARNING CFile::MoveFile('" + dir / "new.msg" + "', '" + dir / "old.msg" +
                            "'): MoveFile() failed, GetLastError=17")
                  .size(),
              1u);
    EXPECT_EQ(ReadWholeFile(dir / "new.msg"), "new message");
    EXPECT_EQ(ReadWholeFile(dir / "old.msg"), "old message\r\n");
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"new.msg", "old.msg"}));
}

// Nine hundred of the thousand names taken: the move draws until it finds a free one, quietly,
// and replaces none. All taken, or a pattern that is no pattern: the file stays, with a WARNING.
TEST(CFileByName, AMoveToAUniqueNameDrawsAgainPastTakenNamesAndNeverReplaces) {
    TempDir dir;
    for (int i = 0; i < 900; ++i)
        WriteWholeFile(dir / Format("t.%03d.msg", i), "taken");
    WriteWholeFile(dir / "in.msg", "arriving");
    std::string arrived;
    {
        LogCapture log;
        ASSERT_TRUE(CFile::MoveFileToUniqueName(dir / "in.msg", dir / "t.%03d.msg", arrived));
        EXPECT_TRUE(log.LinesWith("WARNING").empty());
    }
    EXPECT_EQ(ReadWholeFile(arrived), "arriving");
    EXPECT_GE(arrived, dir / "t.900.msg");
    EXPECT_EQ(Entries(dir.Path()).size(), 901u);

    for (int i = 900; i < 1000; ++i)
        if (dir / Format("t.%03d.msg", i) != arrived)
            WriteWholeFile(dir / Format("t.%03d.msg", i), "taken");
    WriteWholeFile(dir / "late.msg", "late");
    LogCapture log;
    std::string used;
    for (const std::string& pattern : {dir / "t.%03d.msg", dir / "no-number.msg", dir / "two.%d.%d.msg"}) {
        EXPECT_FALSE(CFile::MoveFileToUniqueName(dir / "late.msg", pattern, used)) << pattern;
        EXPECT_EQ(ReadWholeFile(dir / "late.msg"), "late");
    }
    EXPECT_EQ(log.LinesWith("WARNING CFile::MoveFile('" + dir / "late.msg").size(), 3u);
    int taken = 0;
    for (int i = 0; i < 1000; ++i)
        taken += ReadWholeFile(dir / Format("t.%03d.msg", i)) == "taken";
    EXPECT_EQ(taken, 999);
    EXPECT_EQ(ReadWholeFile(arrived), "arriving");
}

TEST(CFileByName, MoveAcrossFilesystemsCopiesKeepsTheTimeAndNeverReplaces) {
    TempDir dir;
    CForeignDir foreign(dir.Path());
    if (foreign.path.empty())
        GTEST_SKIP() << "no second filesystem at /dev/shm";
    std::string contents(300000, 'z');
    contents += "end";
    std::string from = foreign.path + "/a.msg", to = dir / "a.msg";
    WriteWholeFile(from, contents);
    SetWriteTime(from, 1100000000);
    EXPECT_TRUE(CFile::MoveFile(from, to));
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_EQ(ReadWholeFile(to), contents);
    EXPECT_EQ(WriteTime(to), 1100000000);
    EXPECT_TRUE(Entries(foreign.path).empty());
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"a.msg"});

    WriteWholeFile(from, "another");
    LogCapture log;
    EXPECT_FALSE(CFile::MoveFile(from, to));
    EXPECT_EQ(log.LinesWith("'): MoveFile() failed, GetLastError=17").size(), 1u);
    EXPECT_EQ(ReadWholeFile(from), "another");
    EXPECT_EQ(ReadWholeFile(to), contents);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"a.msg"});  // no partial copy left behind
}

TEST(CFileByName, MoveAcrossFilesystemsNeverWritesUnderTheFinalName) {
    TempDir dir;
    CForeignDir foreign(dir.Path());
    if (foreign.path.empty())
        GTEST_SKIP() << "no second filesystem at /dev/shm";
    const std::string from = foreign.path + "/a.msg";
    WriteWholeFile(from, std::string(300000, 'z'));
    // Every write into the target directory, by name: the final name may only appear whole.
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.Path().c_str(), IN_MODIFY | IN_CLOSE_WRITE), 0);
    EXPECT_TRUE(CFile::MoveFile(from, dir / "a.msg"));
    std::vector<std::string> written;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;)
        for (char* at = buffer; at < buffer + got;) {
            auto* event = reinterpret_cast<inotify_event*>(at);
            if (event->len > 0)
                written.emplace_back(event->name);
            at += sizeof(inotify_event) + event->len;
        }
    ::close(watch);
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(std::count(written.begin(), written.end(), "a.msg"), 0);
    EXPECT_EQ(ReadWholeFile(dir / "a.msg"), std::string(300000, 'z'));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"a.msg"});
}

TEST(CFileByName, CopyFileCopiesWholeAndNeverReplaces) {
    TempDir dir;
    WriteWholeFile(dir / "user.xml", "<user/>");
    SetWriteTime(dir / "user.xml", 1200000000);
    std::filesystem::create_directory(dir / "bob");
    EXPECT_TRUE(CFile::CopyFile(dir / "user.xml", dir / "bob/user.xml"));
    EXPECT_EQ(ReadWholeFile(dir / "bob/user.xml"), "<user/>");
    EXPECT_EQ(WriteTime(dir / "bob/user.xml"), 1200000000);
    WriteWholeFile(dir / "user.xml", "<user>changed</user>");
    LogCapture log;
    EXPECT_FALSE(CFile::CopyFile(dir / "user.xml", dir / "bob/user.xml"));
    EXPECT_EQ(log.LinesWith("WARNING CFile::CopyFile('" + dir / "user.xml" + "', '" + dir / "bob/user.xml" +
                            "'): CopyFile() failed, GetLastError=17")
                  .size(),
              1u);
    EXPECT_EQ(ReadWholeFile(dir / "bob/user.xml"), "<user/>");
    EXPECT_EQ(Entries(dir / "bob"), std::vector<std::string>{"user.xml"});  // no temporary left behind
}

TEST(CFileByName, OverwriteFileReplacesTheTargetAndLeavesNoTemporary) {
    TempDir dir;
    WriteWholeFile(dir / "user.xml.123", "<new/>");
    WriteWholeFile(dir / "user.xml", "<old>longer</old>");
    SetWriteTime(dir / "user.xml.123", 1200000000);
    EXPECT_TRUE(CFile::OverwriteFile(dir / "user.xml.123", dir / "user.xml"));
    EXPECT_EQ(ReadWholeFile(dir / "user.xml"), "<new/>");
    EXPECT_EQ(ReadWholeFile(dir / "user.xml.123"), "<new/>");
    EXPECT_EQ(WriteTime(dir / "user.xml"), 1200000000);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"user.xml", "user.xml.123"}));
    EXPECT_TRUE(CFile::OverwriteFile(dir / "user.xml", dir / "fresh.xml"));  // a missing target is created
    EXPECT_EQ(ReadWholeFile(dir / "fresh.xml"), "<new/>");
}

TEST(CFileByName, OverwriteFileFailsOnADirectoryAndCleansUp) {
    TempDir dir;
    WriteWholeFile(dir / "source", "data");
    std::filesystem::create_directory(dir / "target");
    WriteWholeFile(dir / "target/inside", "kept");
    LogCapture log;
    EXPECT_FALSE(CFile::OverwriteFile(dir / "source", dir / "target"));
    EXPECT_FALSE(CFile::OverwriteFile(dir / "missing", dir / "other"));
    EXPECT_EQ(log.LinesWith("WARNING CFile::OverwriteFile('" + dir / "source" + "', '" + dir / "target" +
                            "'): CopyFile() failed, GetLastError=21")
                  .size(),
              1u);
    EXPECT_EQ(log.LinesWith("WARNING CFile::OverwriteFile('" + dir / "missing" + "', '" + dir / "other" +
                            "'): CopyFile() failed, GetLastError=2")
                  .size(),
              1u);
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"source", "target"}));
    EXPECT_EQ(ReadWholeFile(dir / "target/inside"), "kept");
}

TEST(CFileEnumerate, ListsMatchingFilesCaseInsensitivelyWithSizeAndTime) {
    TempDir dir;
    WriteWholeFile(dir / "a.msg", "12345");
    WriteWholeFile(dir / "B.MSG", "");
    WriteWholeFile(dir / "c.txt", "x");
    WriteWholeFile(dir / "msg", "x");
    std::filesystem::create_directory(dir / "d.msg");
    SetWriteTime(dir / "a.msg", 1300000000);
    auto files = CFile::EnumerateFiles(dir.Path(), "*.msg");
    ASSERT_EQ(files->size(), 2u);
    std::sort(files->begin(), files->end(), [](const auto& x, const auto& y) { return x.name < y.name; });
    EXPECT_EQ((*files)[0].name, "B.MSG");
    EXPECT_EQ((*files)[0].path, dir / "B.MSG");
    EXPECT_EQ((*files)[0].size, 0u);
    EXPECT_EQ((*files)[1].name, "a.msg");
    EXPECT_EQ((*files)[1].path, dir / "a.msg");
    EXPECT_EQ((*files)[1].size, 5u);
    EXPECT_EQ((*files)[1].time, 1300000000u);
    EXPECT_EQ(CFile::EnumerateFiles(dir.Path(), "*")->size(), 4u);
    EXPECT_EQ(CFile::EnumerateFiles(dir.Path(), "?.TXT")->size(), 1u);
}

TEST(CFileEnumerate, DirectoryListingIncludesDotEntriesAndNoFiles) {
    TempDir dir;
    std::filesystem::create_directory(dir / "alice");
    std::filesystem::create_directory(dir / ".spool");
    WriteWholeFile(dir / "file", "");
    auto dirs = CFile::EnumerateDirs(dir.Path(), "*");
    std::vector<std::string> names;
    for (const auto& d : *dirs) {
        names.push_back(d.name);
        EXPECT_EQ(d.path, dir / d.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".spool", "alice"}));
    EXPECT_EQ(CFile::EnumerateDirs(dir.Path(), "ALI*")->size(), 1u);
}

TEST(CFileEnumerate, LinksAreNeverListedAndMessageFilesAreNotOpenedThroughThem) {
    TempDir dir;
    WriteWholeFile(dir / "secret", "x");
    std::filesystem::create_directory(dir / "real");
    std::filesystem::create_symlink(dir / "secret", dir / "x.msg");
    std::filesystem::create_directory_symlink(dir / "real", dir / "linked");
    std::vector<std::string> files, dirs;
    auto fileList = CFile::EnumerateFiles(dir.Path(), "*");
    auto dirList = CFile::EnumerateDirs(dir.Path(), "*");
    for (const auto& file : *fileList)
        files.push_back(file.name);
    for (const auto& d : *dirList)
        dirs.push_back(d.name);
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(files, std::vector<std::string>{"secret"});
    EXPECT_EQ(dirs, (std::vector<std::string>{".", "..", "real"}));
    LogCapture log;
    EXPECT_THROW(CFile(dir / "x.msg", CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, CFile::NO_FOLLOW),
                 CMessageException);
    EXPECT_NO_THROW(CFile(dir / "x.msg", CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0));
}

TEST(CFileEnumerate, MissingDirectoryOrNoMatchListsEmptyAndSilently) {
    TempDir dir;
    WriteWholeFile(dir / "a.txt", "");
    LogCapture log;
    EXPECT_TRUE(CFile::EnumerateFiles(dir / "missing", "*")->empty());
    EXPECT_TRUE(CFile::EnumerateDirs(dir / "missing", "*")->empty());
    EXPECT_TRUE(CFile::EnumerateFiles(dir.Path(), "*.msg")->empty());
    EXPECT_TRUE(CFile::EnumerateFiles(dir / "a.txt", "*")->empty());  // not a directory
    std::filesystem::create_directory(dir / "empty");
    EXPECT_TRUE(CFile::EnumerateFiles(dir / "empty", "*")->empty());
    EXPECT_TRUE(log.Lines().empty());
}
