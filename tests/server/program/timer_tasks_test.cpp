// The timer's tasks in the server's own process: the spread of mail collections, the collection
// of one user's accounts, the header of a spooled file, and the spool task's failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "common/xml_document.h"
#include "server/program/instances.h"
#include "server/program/timer_tasks.h"
#include "server/core/timer_thread.h"
#include "server/core/worker_pools.h"
#include "tests/support/held_elsewhere.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

// Callbacks pushed onto the process-wide timer since the snapshot.
std::vector<CTimerCallbackPtr> PushedSince(const std::vector<CTimerCallbackPtr>& before) {
    std::vector<CTimerCallbackPtr> added;
    for (const auto& callback : TimerThread().GetPendingCallbacks())
        if (std::find(before.begin(), before.end(), callback) == before.end())
            added.push_back(callback);
    return added;
}

class TimerTasks : public testing::Test {
protected:
    void SetUp() override {
        XMLInstallErrorHandler();
        Config().SetValue("mail-directory", dir / "mail");
        Config().SetValue("worker-threads-per-pool", "2");
        fs::create_directory(dir / "mail");
        UserPool().Clear();
    }
    void TearDown() override {
        UserPool().Clear();
        SetPOP3ClientConnectionFactory({});
    }
    void AddUser(const std::string& name, const std::string& clients = "") {
        fs::create_directories(dir / ("mail/" + name));
        WriteWholeFile(dir / ("mail/" + name + "/user.xml"),
                       "<?xml version=\"1.0\"?>\n<user><params/><pop3-server/><pop3-clients>" + clients +
                           "</pop3-clients></user>\n");
    }

    TempDir dir;
};

struct Account : CParallelWorkUnit {
    using CParallelWorkUnit::CParallelWorkUnit;
    bool Process(bool&) override { return false; }
};

}  // namespace

TEST_F(TimerTasks, TheRescanSpreadsTheUsersOverTheMailInterval) {
    Config().SetValue("mail-interval-sec", "100");
    fs::create_directory(dir / "mail/alpha");
    fs::create_directory(dir / "mail/bravo");
    const auto before = TimerThread().GetPendingCallbacks();
    const time_t start = std::time(nullptr);
    TimerCallback_RescanUsers("");
    const time_t end = std::time(nullptr);
    // ".", "..", alpha and bravo are listed: 100 / (4 + 1) = 20 seconds apart.
    auto pushed = PushedSince(before);
    ASSERT_EQ(pushed.size(), 2u);
    std::set<std::string> users;
    for (size_t k = 0; k < 2; ++k) {
        users.insert(pushed[k]->GetArgument());
        EXPECT_EQ(pushed[k]->GetInterval(), static_cast<int32_t>(k * 20));
        EXPECT_GE(pushed[k]->GetDueTime(), start + static_cast<time_t>(k * 20));
        EXPECT_LE(pushed[k]->GetDueTime(), end + static_cast<time_t>(k * 20));
        EXPECT_FALSE(pushed[k]->Repeats());
    }
    EXPECT_EQ(users, (std::set<std::string>{"alpha", "bravo"}));
}

TEST_F(TimerTasks, DirectoriesThatAreNoUsersCountInTheStepButGetNoCollection) {
    Config().SetValue("mail-interval-sec", "100");
    for (const std::string& name : {std::string("alpha"), std::string("bravo"), std::string("not-a-user"),
                                    std::string("x.y"), std::string(33, 'z')})
        fs::create_directory(dir / ("mail/" + name));
    const auto before = TimerThread().GetPendingCallbacks();
    TimerCallback_RescanUsers("");
    // Seven entries: 100 / 8 = 12.5, truncated per user.
    auto pushed = PushedSince(before);
    ASSERT_EQ(pushed.size(), 2u);
    EXPECT_EQ(pushed[0]->GetInterval(), 0);
    EXPECT_EQ(pushed[1]->GetInterval(), 12);
}

TEST_F(TimerTasks, AUserWithoutAccountsGivesOneWarningPerCollection) {
    AddUser("joe");
    LogCapture log;
    TimerCallback_InitiateUserPOP3Session("joe");
    TimerCallback_InitiateUserPOP3Session("joe");
    EXPECT_EQ(log.LinesWith("WARNING TimerCallback_InitiateUserPOP3Session('joe'): no POP3 servers defined").size(), 2u);
    EXPECT_EQ(log.Lines().size(), 2u);
}

TEST_F(TimerTasks, EachAccountBecomesAStickyUnitAndASecondCollectionIsRefused) {
    AddUser("joe",
            "<pop3-client hostname=\"pop.one.example\" port=\"110\" username=\"joe1\" password=\"c2VjcmV0\"/>"
            "<pop3-client hostname=\"pop.two.example\" port=\"pop3\" username=\"jb\" password=\"cGFzcw==\" "
            "security=\"starttls\" leave-on-server=\"true\" leave-on-server-days=\"14\"/>");
    std::vector<std::string> made;
    SetPOP3ClientConnectionFactory([&](const std::string& user, const CPOP3Account& a, std::shared_ptr<CXMLDocument>) {
        made.push_back(user + " " + a.username + "@" + a.hostname + ":" + a.port + " " + a.password + " " + a.security +
                       " " + std::to_string(a.leaveOnServer) + " " + std::to_string(a.leaveDays));
        return std::make_shared<Account>("CPOP3ClientConnection(" + user + ", " + a.username + "@" + a.hostname + ":" +
                                         a.port + ")");
    });
    LogCapture log;
    TimerCallback_InitiateUserPOP3Session("joe");
    EXPECT_EQ(made, (std::vector<std::string>{"joe joe1@pop.one.example:110 secret  0 0",
                                              "joe jb@pop.two.example:pop3 pass starttls 1 14"}));
    // The pool's threads never run here, so the first collection is still listed.
    TimerCallback_InitiateUserPOP3Session("joe");
    EXPECT_EQ(made.size(), 4u);
    EXPECT_EQ(log.LinesWith("ignoring duplicate entry, identical object is already being processed").size(), 2u);
    EXPECT_EQ(log.LinesWith("PushWorkUnit('CPOP3ClientConnection(joe, joe1@pop.one.example:110)')").size(), 1u);
}

TEST_F(TimerTasks, AnAccountCarriesItsLoginAndOneThatCannotBeReadIsSkippedInOneErrorLine) {
    const std::string oauth = " token-url=\"https://id.example/token\" client-id=\"app\" client-secret=\"" +
                              EncodeBASE64("cs-4417") + "\" refresh-token=\"" + EncodeBASE64("rt-9902") + "\"";
    AddUser("joe",
            "<pop3-client hostname=\"pop.one.example\" port=\"995\" username=\"a\" password=\"\" security=\"tls\" "
            "auth=\"xoauth2\"" + oauth + "/>"
            "<pop3-client hostname=\"pop.two.example\" port=\"995\" username=\"b\" password=\"\" auth=\"kerberos\"/>"
            "<pop3-client hostname=\"pop.three.example\" port=\"995\" username=\"c\" password=\"\" "
            "auth=\"oauthbearer\" token-url=\"http://id.example/token\" client-id=\"app\" refresh-token=\"cnQ=\"/>"
            "<pop3-client hostname=\"pop.four.example\" port=\"995\" username=\"d\" password=\"\" "
            "auth=\"xoauth2\" token-url=\"https://id.example/token\" client-id=\"app\"/>"
            "<pop3-client hostname=\"pop.five.example\" port=\"110\" username=\"e\" password=\"cGFzcw==\" "
            "auth=\"plain\" leave-on-server=\"true\" leave-on-server-days=\"3\"/>");
    std::vector<CPOP3Account> made;
    SetPOP3ClientConnectionFactory([&](const std::string& user, const CPOP3Account& a, std::shared_ptr<CXMLDocument>) {
        made.push_back(a);
        return std::make_shared<Account>("CPOP3ClientConnection(" + user + ", " + a.username + "@" + a.hostname + ":" +
                                         a.port + ")");
    });
    LogCapture log;
    TimerCallback_InitiateUserPOP3Session("joe");
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].username, "a");
    EXPECT_EQ(made[0].login.auth, TPOP3Auth::XOAuth2);
    EXPECT_EQ(made[0].login.tokenUrl, "https://id.example/token");
    EXPECT_EQ(made[0].login.clientId, "app");
    EXPECT_EQ(made[0].login.clientSecret, "cs-4417");
    EXPECT_EQ(made[0].login.refreshToken, "rt-9902");
    EXPECT_EQ(made[1].username, "e");
    EXPECT_EQ(made[1].login.auth, TPOP3Auth::Plain);
    EXPECT_EQ(made[1].password, "pass");
    EXPECT_TRUE(made[1].leaveOnServer);
    EXPECT_EQ(made[1].leaveDays, 3u);
    // One line for each account that cannot be read, naming it; no secret in any line.
    EXPECT_EQ(log.LinesWith(" ERROR ").size(), 3u);
    EXPECT_EQ(log.LinesWith("ERROR POP3 account b@pop.two.example:995 of user joe").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR POP3 account c@pop.three.example:995 of user joe").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR POP3 account d@pop.four.example:995 of user joe").size(), 1u);
    EXPECT_TRUE(log.LinesWith("cs-4417").empty());
    EXPECT_TRUE(log.LinesWith("rt-9902").empty());
}

TEST_F(TimerTasks, AnAccountThatCannotBeSetOutForFailsAloneWithoutItsPassword) {
    // The session itself is the default; an unknown service name or security fails before any
    // connection, and the next account is still tried.
    AddUser("joe", "<pop3-client hostname=\"127.0.0.1\" port=\"no-such-service\" username=\"j\" "
                   "password=\"c2VjcmV0\"/><pop3-client hostname=\"127.0.0.1\" port=\"110\" username=\"k\" "
                   "password=\"c2VjcmV0\" security=\"ssl3\"/>");
    for (const char* name : {"pop3-messages-per-sync", "pop3-messages-per-session", "pop3-connection-attempt-timeout-sec"})
        Config().SetValue(name, "10");
    LogCapture log;
    EXPECT_NO_THROW(TimerCallback_InitiateUserPOP3Session("joe"));
    EXPECT_EQ(log.LinesWith("ERROR CInternetPort").size(), 1u) << log.Lines().size();
    EXPECT_EQ(log.LinesWith("ERROR CPOP3ClientConnection::CPOP3ClientConnection('127.0.0.1', 'no-such-service', 'j', "
                            "'******', 'joe', ").size(),
              1u);
    EXPECT_EQ(log.LinesWith("ERROR POP3 account j@127.0.0.1:no-such-service of user joe").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR POP3 account k@127.0.0.1:110 of user joe: Invalid security 'ssl3'").size(), 1u);
    EXPECT_TRUE(log.LinesWith("ERROR TimerCallback_InitiateUserPOP3Session").empty());
    EXPECT_TRUE(log.LinesWith("secret").empty());
}

TEST_F(TimerTasks, TheHeaderEndsAtTheFirstBlankLine) {
    EXPECT_EQ(ExtractMessageHeader("A: 1\r\nB: 2\r\n\r\nbody\r\n\r\nmore"), "A: 1\r\nB: 2\r\n\r\n");
    // LF line ends become CR LF in the header only.
    EXPECT_EQ(ExtractMessageHeader("A: 1\nB: 2\n\nbody\n"), "A: 1\r\nB: 2\r\n\r\n");
    // Whichever blank line comes first decides.
    EXPECT_EQ(ExtractMessageHeader("A: 1\n\nbody\r\n\r\n"), "A: 1\r\n\r\n");
    EXPECT_EQ(ExtractMessageHeader("A: 1\r\n\r\nbody\n\n"), "A: 1\r\n\r\n");
    // Ended by LF LF after CR LF lines: only the bare LF gains a CR.
    EXPECT_EQ(ExtractMessageHeader("A: 1\r\nB: 2\r\n\nbody"), "A: 1\r\nB: 2\r\n\r\n");
    EXPECT_EQ(ExtractMessageHeader("A: 1\r\nB: 2\n\nbody"), "A: 1\r\nB: 2\r\n\r\n");
    try {
        ExtractMessageHeader("A: 1\r\nB: 2\r\n");
        ADD_FAILURE() << "no blank line, yet a header";
    } catch (const CMessageException& e) {
        EXPECT_STREQ(e.what(), "The message is broken, the first 12 bytes don't contain the message header");
    }
}

TEST_F(TimerTasks, AFileThatCannotEnterRawStaysInTheSpool) {
    AddUser("joe");
    fs::create_directory(dir / "mail/joe/.spool");  // and no .raw
    WriteWholeFile(dir / "mail/joe/.spool/waiting.msg", "Subject: s\r\n\r\nb\r\n");
    LogCapture log;
    TimerCallback_SpoolMessages("");
    EXPECT_TRUE(fs::exists(dir / "mail/joe/.spool/waiting.msg"));
    const auto warnings = log.LinesWith("WARNING Unable to move file " + dir / "mail/joe/.spool/waiting.msg" + " to " +
                                        dir / "mail/joe/.raw/");
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(log.LinesWith(" ERROR ").empty());
}

TEST_F(TimerTasks, AUserThatCannotBeLoadedLeavesTheOtherUsersSpoolsAlone) {
    for (const char* user : {"aaa", "bbb"}) {
        fs::create_directories(dir / ("mail/" + std::string(user) + "/.spool"));
        fs::create_directories(dir / ("mail/" + std::string(user) + "/.raw"));
        WriteWholeFile(dir / ("mail/" + std::string(user) + "/.spool/m.msg"), "Subject: s\r\n\r\nb\r\n");
    }
    AddUser("bbb");  // aaa has no user.xml
    LogCapture log;
    TimerCallback_SpoolMessages("");
    EXPECT_TRUE(fs::exists(dir / "mail/aaa/.spool/m.msg"));
    EXPECT_FALSE(fs::exists(dir / "mail/bbb/.spool/m.msg"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "mail/bbb/.raw"), fs::directory_iterator()), 1);
    EXPECT_EQ(log.LinesWith("ERROR TimerCallback_SpoolMessages(''): caught exception while processing user 'aaa': "
                            "Failed to load XML file from")
                  .size(),
              1u);
}

TEST_F(TimerTasks, AUserLockedByAnEditorIsLeftForTheNextRoundWithoutWaitingOrErrors) {
    AddUser("joe", "<pop3-client hostname=\"pop.one.example\" port=\"110\" username=\"joe1\" password=\"\"/>");
    fs::create_directories(dir / "mail/joe/.raw");
    fs::create_directories(dir / "mail/joe/.spool");
    WriteWholeFile(dir / "mail/joe/.spool/m.msg", "Subject: s\r\n\r\nb\r\n");
    int made = 0;
    SetPOP3ClientConnectionFactory([&](const std::string&, const CPOP3Account&, std::shared_ptr<CXMLDocument>) {
        ++made;
        return std::make_shared<Account>("CPOP3ClientConnection(joe)");
    });
    HeldElsewhere editor(UserPool(), "joe");
    LogCapture log;
    TimerCallback_InitiateUserPOP3Session("joe");
    TimerCallback_SpoolMessages("");
    editor.Release();
    EXPECT_EQ(made, 0);
    EXPECT_TRUE(fs::exists(dir / "mail/joe/.spool/m.msg"));
    EXPECT_EQ(log.LinesWith("INFO TimerCallback_InitiateUserPOP3Session('joe'): the user is locked, mail is collected "
                            "later")
                  .size(),
              1u);
    EXPECT_TRUE(log.LinesWith(" ERROR ").empty());
    // The next round finds the user free.
    TimerCallback_SpoolMessages("");
    EXPECT_FALSE(fs::exists(dir / "mail/joe/.spool/m.msg"));
}
