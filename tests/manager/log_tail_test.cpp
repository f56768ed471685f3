// The log tail: complete lines once, partial lines later, a new log from its start.
#include <cstdio>

#include <gtest/gtest.h>

#include "manager/log_tail.h"
#include "tests/support/temp_dir.h"

namespace {

struct TTailRecord {
    std::vector<std::string> events;
    Ovrin::TLogTail tail;
    explicit TTailRecord(const std::string& path)
        : tail(path, [this](const std::string& line) { events.push_back(line); }, [this] { events.push_back("<reset>"); }) {}
    std::vector<std::string> Take() { return std::exchange(events, {}); }
};

void Append(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "ab");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

using Events = std::vector<std::string>;

TEST(LogTail, ShowsEachLineOnceItsLineEndHasArrived) {
    OvrinTest::TempDir dir;
    const std::string log = dir / "ovrin.log";
    TTailRecord record(log);
    record.tail.Open();
    record.tail.Pass();  // no file yet: tries again
    EXPECT_EQ(record.Take(), (Events{"<reset>", "<reset>"}));

    Append(log, "first line\r\n\r\n  second  \r\nthird, not yet ended");
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"<reset>"}));
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"first line", "second"}));
    record.tail.Pass();
    EXPECT_TRUE(record.Take().empty());
    Append(log, " and ended\r\n");
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"third, not yet ended and ended"}));
}

TEST(LogTail, StartsAgainWhenTheLogIsTruncatedOrReplaced) {
    OvrinTest::TempDir dir;
    const std::string log = dir / "ovrin.log";
    Append(log, "old one\r\nold two\r\n");
    TTailRecord record(log);
    record.tail.Open();
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"<reset>", "old one", "old two"}));

    OvrinTest::WriteWholeFile(log, "new\r\n");  // truncated in place, shorter than read
    record.tail.Pass();
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"<reset>", "new"}));

    // A new file under the name, longer than what was read of the old one.
    OvrinTest::WriteWholeFile(dir / "next.log", "replaced one\r\nreplaced two\r\n");
    std::rename((dir / "next.log").c_str(), log.c_str());
    record.tail.Pass();
    record.tail.Pass();
    EXPECT_EQ(record.Take(), (Events{"<reset>", "replaced one", "replaced two"}));
}

}  // namespace
