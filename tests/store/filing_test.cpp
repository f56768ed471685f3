// FileMessage: where a message file ends for each target, and the line that says why.
#include "store/filing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;

namespace fs = std::filesystem;

TEST(FileMessage, EndsWhereTheTargetAllowsAndSaysWhyOtherwise) {
    struct Case {
        const char* target;
        bool withSpam;
        const char* endsIn;  // relative to the user; empty: nowhere (deleted)
        const char* line;    // the last line logged, empty for none
    } cases[] = {
        {"work", true, "work/m.msg", ""},
        {"spam", true, "spam/m.msg", ""},
        {"<delete>", true, "", ""},
        {"<contents>", true, "spam/m.msg", "ERROR who: message file RAW has no usable target mailbox ('<contents>'), the message is moved to spam"},
        {".spool", true, "spam/m.msg", "ERROR who: message file RAW has no usable target mailbox ('.spool'), the message is moved to spam"},
        {"a/b", true, "spam/m.msg", "ERROR who: message file RAW has no usable target mailbox ('a/b'), the message is moved to spam"},
        {"", true, "spam/m.msg", "ERROR who: message file RAW has no usable target mailbox (''), the message is moved to spam"},
        {"gone", true, "spam/m.msg", "ERROR who: failed to move file RAW to it's target mailbox at USER/gone/m.msg, the message is moved to spam"},
        // After the line of the failed target move.
        {"gone", false, ".raw/r.msg", "ERROR who: failed to move file RAW to the spam mailbox at USER/spam/m.msg, the file stays where it is"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        OvrinTest::TempDir dir;
        const std::string user = dir / "joe";
        for (const char* made : {".raw", "work"})
            fs::create_directories(user + "/" + made);
        if (c.withSpam)
            fs::create_directories(user + "/spam");
        const std::string raw = user + "/.raw/r.msg";
        OvrinTest::WriteWholeFile(raw, "Subject: x\r\n\r\n");
        LogCapture log;
        FileMessage(CMailStore(dir.Path()), "joe", raw, c.target, "m.msg", "who");
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(user))
            if (entry.is_regular_file())
                files.push_back(fs::relative(entry.path(), user).string());
        EXPECT_EQ(files, *c.endsIn ? std::vector<std::string>{c.endsIn} : std::vector<std::string>{});
        std::string line = c.line;
        for (auto [from, to] : {std::pair<std::string, std::string>{"RAW", raw}, {"USER", user}})
            if (size_t at = line.find(from); at != std::string::npos)
                line.replace(at, from.size(), to);
        const auto logged = log.LinesWith("who: ");
        if (line.empty()) {
            EXPECT_TRUE(logged.empty());
        } else {
            ASSERT_EQ(logged.size(), c.withSpam ? 1u : 2u);
            EXPECT_NE(logged.back().find(line), std::string::npos) << logged.back();
        }
    }
}
