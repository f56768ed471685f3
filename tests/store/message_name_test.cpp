// The names message files get.
#include "store/message_name.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <boost/regex.hpp>

#include "common/file.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;

TEST(MessageName, EachOriginHasItsShape) {
    struct Case {
        std::string name;
        const char* shape;
    } cases[] = {
        {MessageFileName("20261208101010123-0123456789ABCDEF-89ABCDEF"), "20261208101010123-0123456789ABCDEF-89ABCDEF\\.msg"},
        {NewMessageFilePattern("/m/joe/.raw", CMessageOrigin::Downloaded), "/m/joe/\\.raw/\\d{17}%03d\\.msg"},
        {NewMessageFilePattern("/m/joe/.raw", CMessageOrigin::Spooled), "/m/joe/\\.raw/\\d{17}\\.%03d\\.msg"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(boost::regex_match(c.name, boost::regex(c.shape))) << c.name;
}

// A "%" in the configured mail directory once made every new message file fail.
TEST(MessageName, ANewFileLandsInADirectoryWhosePathHasAPercentSign) {
    OvrinTest::TempDir dir;
    const std::string raw = dir / "100%s";
    std::filesystem::create_directories(raw);
    OvrinTest::WriteWholeFile(dir / "m", "Subject: x\r\n\r\n");
    for (CMessageOrigin origin : {CMessageOrigin::Downloaded, CMessageOrigin::Spooled}) {
        std::string to;
        ASSERT_TRUE(CFile::MoveFileToUniqueName(dir / "m", NewMessageFilePattern(raw, origin), to));
        EXPECT_TRUE(boost::regex_match(to, boost::regex(".*/100%s/\\d{17}\\.?\\d{3}\\.msg"))) << to;
        std::filesystem::rename(to, dir / "m");
    }
}
