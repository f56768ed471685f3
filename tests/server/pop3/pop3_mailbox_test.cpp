// A mailbox as a POP3 session sees it: the exclusive lock file, the snapshot oldest first,
// deletion marks with their counts, and deletions carried out only when asked.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/digest.h"
#include "common/file.h"
#include "server/pop3/pop3_mailbox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/log_capture.h"

using namespace Ovrin;
using OvrinTest::TempDir;
using OvrinTest::WriteWholeFile;

namespace {

void WriteMessage(const TempDir& dir, const std::string& name, const std::string& text, int ageSeconds) {
    WriteWholeFile(dir / name, text);
    std::filesystem::last_write_time(dir / name,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

}  // namespace

TEST(POP3Mailbox, TheLockKeepsASecondHolderOutAndGoesWithTheFirst) {
    TempDir dir;
    {
        CPOP3Mailbox first(dir.Path());
        EXPECT_TRUE(std::filesystem::exists(dir / ".lock"));
        EXPECT_ANY_THROW(CPOP3Mailbox second(dir.Path()));
    }
    EXPECT_FALSE(std::filesystem::exists(dir / ".lock"));
    CPOP3Mailbox again(dir.Path());
    EXPECT_ANY_THROW(CPOP3Mailbox missing(dir / "no-such-mailbox"));
}

TEST(POP3Mailbox, SnapshotIsOldestFirstAndMarksChangeCountsUntilReset) {
    TempDir dir;
    WriteMessage(dir, "b.msg", "22", 100);
    WriteMessage(dir, "a.msg", "333", 10);
    WriteMessage(dir, "c.MSG", "1", 1000);
    WriteWholeFile(dir / "notes.txt", "not a message");
    CPOP3Mailbox mailbox(dir.Path());
    mailbox.TakeSnapshot();
    ASSERT_EQ(mailbox.GetSize(), 3u);
    EXPECT_EQ(mailbox.GetMessage(1).file.name, "c.MSG");
    EXPECT_EQ(mailbox.GetMessage(2).file.name, "b.msg");
    EXPECT_EQ(mailbox.GetMessage(3).file.name, "a.msg");
    EXPECT_EQ(mailbox.GetCount(), 3u);
    EXPECT_EQ(mailbox.GetTotalSize(), 12u);  // each last line ended by CR LF when sent

    EXPECT_EQ(mailbox.Access("0"), nullptr);
    EXPECT_EQ(mailbox.Access("4"), nullptr);
    EXPECT_EQ(mailbox.Access("002")->file.name, "b.msg");
    mailbox.MarkDeleted(2);
    mailbox.MarkDeleted(2);  // twice counts once
    EXPECT_EQ(mailbox.GetCount(), 2u);
    EXPECT_EQ(mailbox.GetTotalSize(), 8u);
    EXPECT_TRUE(mailbox.Access("2")->deleted);  // keeps its number
    EXPECT_EQ(mailbox.GetLastAccessed(), 2u);
    mailbox.Reset();
    EXPECT_EQ(mailbox.GetCount(), 3u);
    EXPECT_EQ(mailbox.GetTotalSize(), 12u);
    EXPECT_EQ(mailbox.GetLastAccessed(), 0u);
}

TEST(POP3Mailbox, OnlyMarkedFilesAreDeletedAndAFailureSparesTheOthers) {
    TempDir dir;
    WriteMessage(dir, "1.msg", "one", 30);
    WriteMessage(dir, "2.msg", "two", 20);
    WriteMessage(dir, "3.msg", "three", 10);
    CPOP3Mailbox mailbox(dir.Path());
    mailbox.TakeSnapshot();
    mailbox.MarkDeleted(1);
    mailbox.MarkDeleted(3);
    std::filesystem::remove(dir / "1.msg");  // gone meanwhile: the deletion fails
    OvrinTest::LogCapture log;
    EXPECT_EQ(mailbox.ApplyDeletions(), std::vector<uint32_t>{1});
    EXPECT_FALSE(std::filesystem::exists(dir / "3.msg"));
    EXPECT_TRUE(std::filesystem::exists(dir / "2.msg"));
    EXPECT_EQ(log.LinesWith("unable to delete file '" + dir / "1.msg" + "'").size(), 1u);
}

TEST(POP3Mailbox, SizesAreThoseOfTheMessagesAsSent) {
    using namespace std::string_literals;
    TempDir dir;
    const struct {
        std::string text;
        uint64_t size;
    } cases[] = {
        {"", 0},
        {"A: 1\r\n\r\nx\r\n", 11},
        {"A: 1\n\nx\n", 11},
        {"A: 1\r\n\nx", 11},        // a mixed file, and a last line without its end
        {"A: 1\r\n\r", 9},          // a lone CR at the end stays in the last line
        {"a\rb\n"s, 5},
        {std::string(65535, 'x') + "\r\n" + "y\n", 65540},  // CR LF split across two reads
        {std::string(65536, 'x') + "\n\n", 65540},         // an LF at the start of the second read
    };
    for (const auto& c : cases) {
        WriteWholeFile(dir / "m.msg", c.text);
        EXPECT_EQ(CPOP3Mailbox::SizeAsSent(dir / "m.msg"), c.size) << c.text.substr(0, 20);
    }
}

TEST(POP3Mailbox, ASnapshotAgainReadsAFileThatChangedSinceTheLast) {
    TempDir dir;
    WriteMessage(dir, "m.msg", "A: 1\r\n\r\nx\r\n", 100);
    CPOP3Mailbox mailbox(dir.Path());
    mailbox.TakeSnapshot();
    EXPECT_EQ(mailbox.GetTotalSize(), 11u);
    WriteMessage(dir, "m.msg", "A: 1\n\nxy\n", 50);  // another size: read again
    mailbox.TakeSnapshot();
    EXPECT_EQ(mailbox.GetTotalSize(), 12u);
}

TEST(POP3Mailbox, AUniqueIdIsTheFileNameWithoutItsExtensionOrItsHashWhenPOP3CannotCarryIt) {
    const std::string longName = std::string(71, 'x') + ".msg";
    const struct {
        std::string name;
        std::string id;
    } cases[] = {
        {"20051201120000123.042.msg", "20051201120000123.042"},
        {"c.MSG", "c.MSG"},  // unlike c.msg beside it
        {std::string(70, 'x') + ".msg", std::string(70, 'x')},
        {longName, HexDigest(longName)},
        {"with space.msg", HexDigest("with space.msg")},
        {"caf\xc3\xa9.msg", HexDigest("caf\xc3\xa9.msg")},
        {"a.msg.msg", "a.msg"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CPOP3Mailbox::UniqueId(c.name), c.id) << c.name;
}
