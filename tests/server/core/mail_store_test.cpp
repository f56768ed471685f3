// SpoolRawMessages: unfinished messages go back to the spool at start, never over another file.
#include "server/core/mail_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "server/core/config.h"
#include "tests/support/log_capture.h"
#include "tests/support/server_home.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::ReadWholeFile;
using OvrinTest::ServerHome;

namespace {

class SpoolRawMessagesTest : public testing::Test {
protected:
    void SetUp() override {
        Config().SetValue("mail-directory", home.MailDirectory());
        home.AddUser("alice");
    }
    void TearDown() override { Config().DelValue("mail-directory"); }

    std::string File(const std::string& user, const std::string& name) const { return "mail/" + user + "/" + name; }

    ServerHome home;
};

}  // namespace

TEST_F(SpoolRawMessagesTest, MessagesOfRawEndInSpoolUnderTheirNames) {
    home.WriteFile(File("alice", ".raw/20240101120000123456.msg"), "Subject: one\r\n\r\nbody\r\n");
    home.WriteFile(File("alice", ".raw/20240101120000123.042.MSG"), "Subject: two\r\n\r\n");
    home.WriteFile(File("alice", ".raw/partial.tmp"), "not a message yet");
    home.WriteFile(File("alice", ".raw/notes"), "x");
    LogCapture log;
    SpoolRawMessages();
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", ".spool/20240101120000123456.msg")), "Subject: one\r\n\r\nbody\r\n");
    EXPECT_TRUE(home.Exists(File("alice", ".spool/20240101120000123.042.MSG")));
    EXPECT_FALSE(home.Exists(File("alice", ".raw/20240101120000123456.msg")));
    EXPECT_TRUE(home.Exists(File("alice", ".raw/partial.tmp")));
    EXPECT_TRUE(home.Exists(File("alice", ".raw/notes")));
    EXPECT_FALSE(home.Exists(File("alice", ".spool/partial.tmp")));
    EXPECT_TRUE(log.LinesWith("ERROR").empty());
}

TEST_F(SpoolRawMessagesTest, ANameTakenInSpoolSendsTheFileToSpamWithOneError) {
    home.WriteFile(File("alice", ".raw/clash.msg"), "new");
    home.WriteFile(File("alice", ".spool/clash.msg"), "queued earlier");
    LogCapture log;
    SpoolRawMessages();
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", ".spool/clash.msg")), "queued earlier");
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", "spam/clash.msg")), "new");
    EXPECT_FALSE(home.Exists(File("alice", ".raw/clash.msg")));
    auto errors = log.LinesWith(" ERROR ");
    ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(log.Lines());
    const std::string raw = home.UserPath("alice", ".raw/clash.msg");
    const std::string spool = home.UserPath("alice", ".spool/clash.msg");
    EXPECT_NE(errors[0].find("SpoolRawMessages(): caught exception while processing file " + raw +
                             ", the file is moved to spam: Unable to move file " + raw + " to " + spool),
              std::string::npos)
        << errors[0];
}

TEST_F(SpoolRawMessagesTest, ANameTakenInSpamTooLeavesTheFileInRaw) {
    home.WriteFile(File("alice", ".raw/clash.msg"), "new");
    home.WriteFile(File("alice", ".spool/clash.msg"), "queued");
    home.WriteFile(File("alice", "spam/clash.msg"), "old spam");
    LogCapture log;
    SpoolRawMessages();
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", ".raw/clash.msg")), "new");
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", ".spool/clash.msg")), "queued");
    EXPECT_EQ(ReadWholeFile(home.UserPath("alice", "spam/clash.msg")), "old spam");
    const std::string raw = home.UserPath("alice", ".raw/clash.msg");
    EXPECT_EQ(log.LinesWith("WARNING Unable to move file " + raw + " to " + home.UserPath("alice", "spam/clash.msg")).size(), 1u);
}

TEST_F(SpoolRawMessagesTest, DirectoriesThatAreNotUserNamesAreIgnored) {
    const std::string tooLong(33, 'a');
    for (const std::string& name : {tooLong, std::string("with-hyphen"), std::string(".template"), std::string("with.dot")}) {
        home.AddUser(name);
        home.WriteFile(File(name, ".raw/m.msg"), "x");
    }
    home.AddUser(std::string(32, 'b'));
    home.WriteFile(File(std::string(32, 'b'), ".raw/m.msg"), "x");
    home.WriteFile(File("alice", ".raw/m.msg"), "x");
    SpoolRawMessages();
    for (const std::string& name : {tooLong, std::string("with-hyphen"), std::string(".template"), std::string("with.dot")}) {
        EXPECT_TRUE(home.Exists(File(name, ".raw/m.msg"))) << name;
        EXPECT_FALSE(home.Exists(File(name, ".spool/m.msg"))) << name;
    }
    EXPECT_TRUE(home.Exists(File(std::string(32, 'b'), ".spool/m.msg")));
    EXPECT_TRUE(home.Exists(File("alice", ".spool/m.msg")));
}

TEST_F(SpoolRawMessagesTest, MissingDirectoriesAreNoError) {
    std::filesystem::remove_all(home.UserPath("alice", ".raw"));
    home.AddUser("bob");
    std::filesystem::remove_all(home.UserPath("bob", ".spool"));
    home.WriteFile(File("bob", ".raw/m.msg"), "x");
    LogCapture log;
    EXPECT_NO_THROW(SpoolRawMessages());
    EXPECT_TRUE(home.Exists(File("bob", "spam/m.msg")));  // no spool to go to
    Config().SetValue("mail-directory", home.Path() + "/no such store");
    EXPECT_NO_THROW(SpoolRawMessages());
}

TEST_F(SpoolRawMessagesTest, WithoutMailDirectoryStartUpFails) {
    Config().DelValue("mail-directory");
    LogCapture log;
    EXPECT_THROW(SpoolRawMessages(), std::exception);
    EXPECT_EQ(log.LinesWith("ERROR SpoolRawMessages(): Value for name 'mail-directory' is not found in the map").size(), 1u);
    Config().SetValue("mail-directory", home.MailDirectory());
}
