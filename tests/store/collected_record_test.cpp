// The record of collected messages: what a file left by earlier sessions (killed, torn,
// or written before the machine restarted) still counts as collected, and that appends,
// confirmation and pruning keep it so.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/exception.h"
#include "store/collected_record.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

std::string ThisBoot() {
    std::string id = ReadWholeFile("/proc/sys/kernel/random/boot_id");
    return id.substr(0, id.find('\n'));
}

std::set<std::string> Recorded(const CCollectedRecord& record, const std::vector<std::string>& candidates) {
    std::set<std::string> found;
    for (const auto& uid : candidates)
        if (record.Contains(uid))
            found.insert(uid);
    return found;
}

TEST(CollectedRecord, AFileLeftBehindCountsWhatIsSafeToCount) {
    const std::string boot = ThisBoot();
    const std::string other = "00000000-0000-0000-0000-000000000000";
    const struct {
        const char* name;
        std::string text;
        std::set<std::string> expected;
    } cases[] = {
        {"none", "", {}},
        {"confirmed, of any boot", "U 10 " + other + " a\nU 11 - b\nC\n", {"a", "b"}},
        {"unconfirmed of this boot (a killed process)", "U 10 - a\nC\nU 12 " + boot + " b\n", {"a", "b"}},
        {"unconfirmed of an earlier boot (a power failure)", "U 10 - a\nC\nU 12 " + other + " b\n", {"a"}},
        {"torn last line", "U 10 - a\nC\nU 12 " + boot + " bb", {"a"}},
        {"torn line followed by more", "U 10 - a\nU 1" + std::string("U 12 - b\n") + "U 13 - c\nC\n", {"a", "c"}},
        {"garbage", "X\nU x - a\nU 10 - \x01\nU 10 - d e\nU 11 - f\nC\n", {"f"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (!c.text.empty())
            WriteWholeFile(dir / "record", c.text);
        {
            CCollectedRecord record(dir / "record");
            EXPECT_EQ(Recorded(record, {"a", "b", "bb", "c", "d", "f"}), c.expected);
            EXPECT_EQ(record.Size(), c.expected.size());
        }
        // Read again, after whatever the load rewrote: the same, and no stale line revived by
        // a later confirmation.
        CCollectedRecord(dir / "record").Confirm();
        EXPECT_EQ(Recorded(CCollectedRecord(dir / "record"), {"a", "b", "bb", "c", "d", "f"}), c.expected);
    }
}

TEST(CollectedRecord, AddConfirmAndPruneSurviveReopening) {
    TempDir dir;
    {
        CCollectedRecord record(dir / "record");
        EXPECT_THROW(record.Add("has blank", 1), CMessageException);
        record.Add("one", 100);
        record.Add("two", 200);
        EXPECT_TRUE(record.HasUnconfirmed());
        record.Confirm();
        EXPECT_FALSE(record.HasUnconfirmed());
        record.Add("three", 300);  // unconfirmed, as when killed before QUIT
        EXPECT_EQ(record.CollectedAt("two"), 200);
        EXPECT_EQ(record.CollectedAt("none"), 0);
    }
    {
        CCollectedRecord record(dir / "record");
        EXPECT_EQ(record.Size(), 3u);
        EXPECT_TRUE(record.HasUnconfirmed());  // the next session makes its file durable first
        EXPECT_EQ(record.CollectedAt("three"), 300);
        record.Prune({"two", "three", "four"});
        EXPECT_EQ(record.Size(), 2u);
    }
    CCollectedRecord record(dir / "record");
    EXPECT_EQ(Recorded(record, {"one", "two", "three"}), (std::set<std::string>{"two", "three"}));
    // The rewrite keeps the unconfirmed entry unconfirmed: confirmed lines, the mark, then it.
    const std::string text = ReadWholeFile(dir / "record");
    EXPECT_EQ(text.substr(0, text.find("C\n") + 2), "U 200 - two\nC\n");
    EXPECT_EQ(text.substr(text.find("C\n") + 2), "U 300 " + ThisBoot() + " three\n");
}

TEST(CollectedRecord, OneHolderAtATimeAndANameSafeForAnyAccountThatGoesWithIt) {
    TempDir dir;
    CCollectedRecord first(dir / "record");
    EXPECT_THROW(CCollectedRecord(dir / "record"), CMessageException);

    const CMailStore store(dir.Path());
    std::filesystem::create_directory(dir / "joe");
    auto path = [&](const char* port) { return CCollectedRecord::PathOf(store, "joe", "pop.example.org", port, "joe"); };
    EXPECT_TRUE(CCollectedRecord::RemoveOthers(store, "joe", {}));  // none yet
    CCollectedRecord(path("110")).Add("one", 1);
    CCollectedRecord(path("995")).Add("two", 2);
    WriteWholeFile(dir / "joe/user.xml", "<user/>");
    EXPECT_TRUE(CCollectedRecord::RemoveOthers(store, "joe", {CCollectedRecord::FileName("pop.example.org", "995", "joe")}));
    EXPECT_FALSE(std::filesystem::exists(path("110")));
    EXPECT_TRUE(std::filesystem::exists(path("995")));
    EXPECT_TRUE(std::filesystem::exists(dir / "joe/user.xml"));
    const std::string name = CCollectedRecord::FileName("Pop.Example.org", "110", "../joe smith");
    EXPECT_EQ(name, CCollectedRecord::FileName("pop.example.org", "110", "../joe smith"));
    EXPECT_NE(name, CCollectedRecord::FileName("pop.example.org", "995", "../joe smith"));
    EXPECT_NE(name, CCollectedRecord::FileName("pop.example.org", "110", "joe"));
    EXPECT_EQ(name[0], '.');
    EXPECT_EQ(name.find_first_of("/ "), std::string::npos);
}

}  // namespace
