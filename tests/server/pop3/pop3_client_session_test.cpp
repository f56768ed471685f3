// Mail collection end to end: the real ovrin program collects from a real Dovecot and from a
// scripted POP3 peer; what lands in the mailboxes, what stays on the remote, the dialogue, the
// faults that must never lose a message, and collection over TLS.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/regex.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/rules/rules_fixture.h"
#include "tests/support/cutting_relay.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/scripted_pop3_peer.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/test_ca.h"
#include "tests/support/wait.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

const boost::regex kReceivedLine("Received: from [^ ]+ \\(\\[127\\.0\\.0\\.1\\]\\) by [^ ;]+; [A-Z][a-z]{2}, \\d{2} "
                                 "[A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4}\r\n");

std::string Message(const std::string& subject, const std::string& extra = "", const std::string& body = "Hello.\r\n") {
    return "From: Sender <sender@example.org>\r\nTo: joe@example.org\r\n" + extra + "Subject: " + subject +
           "\r\nMessage-Id: <" + subject + "@example.org>\r\n\r\n" + body;
}

std::string Base64(const std::string& text) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(text[i]) << 16;
        if (i + 1 < text.size()) n |= static_cast<uint8_t>(text[i + 1]) << 8;
        if (i + 2 < text.size()) n |= static_cast<uint8_t>(text[i + 2]);
        out += digits[(n >> 18) & 63];
        out += digits[(n >> 12) & 63];
        out += i + 1 < text.size() ? digits[(n >> 6) & 63] : '=';
        out += i + 2 < text.size() ? digits[n & 63] : '=';
    }
    return out;
}

const std::vector<std::string> kMailboxes = {"mail", "lists", "work", "spam"};

class Collection : public testing::Test {
protected:
    void SetUp() override {
        home.AddUser("joe");
        for (const char* mailbox : {"lists", "work"})
            fs::create_directory(Dir(mailbox));
        home.SetParam("pop3-messages-per-sync", "2");
        home.SetParam("parallel-worker-thread-sleep-ms", "5");
        WriteRules(Rule({.description = "lists", .matches = RegexMatch("list-id", "any", {".+"}),
                         .actions = DispatchTo("lists")}) +
                   Rule({.description = "drop", .matches = RegexMatch("subject", "any", {"\\[drop\\].*"}),
                         .actions = DispatchTo("<delete>")}) +
                   Rule({.description = "body wanted", .matches = RegexMatch("subject", "any", {"\\[body\\].*"}),
                         .actions = DispatchTo("<contents>")}) +
                   Rule({.description = "work", .matches = RegexMatch("subject", "any", {"\\[(work|body)\\].*"}),
                         .actions = DispatchTo("work")}) +
                   Rule({.description = "rest", .matches = AnyMatch(), .actions = DispatchTo("mail")}));
    }

    std::string Dir(const std::string& name) const { return home.UserPath("joe", name); }
    void WriteRules(const std::string& rules) { WriteWholeFile(Dir("ruleset.xml"), RulesetFile(rules)); }

    struct Account {
        uint16_t port;
        std::string user;
        std::string password;
        std::string security = "";  // no attribute when empty
        std::string host = "127.0.0.1";
        std::string attributes = "";  // more, as written
    };

    // The accounts, in order.
    void SetAccounts(const std::vector<Account>& accounts) {
        std::string clients;
        for (const Account& a : accounts)
            clients += "<pop3-client hostname=\"" + a.host + "\" port=\"" + std::to_string(a.port) + "\" username=\"" +
                       a.user + "\" password=\"" + Base64(a.password) + "\"" +
                       (a.security.empty() ? "" : " security=\"" + a.security + "\"") + " " + a.attributes + "/>";
        WriteWholeFile(Dir("user.xml"), "<?xml version=\"1.0\"?>\n<user><params/><pop3-server/><pop3-clients>" +
                                            clients + "</pop3-clients></user>\n");
    }

    std::vector<std::string> Files(const std::string& mailbox) const {
        std::vector<std::string> paths;
        for (const auto& entry : fs::directory_iterator(Dir(mailbox)))
            if (entry.is_regular_file())
                paths.push_back(entry.path().string());
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    // Filed messages by mailbox, each without its first line, which must be the Received: line.
    std::multimap<std::string, std::string> Filed() const {
        std::multimap<std::string, std::string> filed;
        for (const auto& mailbox : kMailboxes) {
            for (const auto& path : Files(mailbox)) {
                const std::string text = ReadWholeFile(path);
                const size_t end = text.find("\r\n") + 2;
                EXPECT_TRUE(boost::regex_match(text.substr(0, end), kReceivedLine)) << text.substr(0, end);
                filed.emplace(mailbox, text.substr(end));
            }
        }
        return filed;
    }

    // The Message-IDs of the filed messages, each as often as it was filed.
    std::multiset<std::string> MessageIds() const {
        static const boost::regex id("^Message-Id: (<[^>\r\n]*>)", boost::regex::icase);
        std::multiset<std::string> ids;
        for (const auto& [mailbox, text] : Filed()) {
            boost::smatch match;
            if (boost::regex_search(text, match, id))
                ids.insert(match[1]);
        }
        return ids;
    }

    // Sets every time in the user's records of collected messages back by that many days.
    void SetRecordBack(int days) {
        for (const auto& entry : fs::directory_iterator(home.UserPath("joe", ""))) {
            if (entry.path().filename().string().rfind(".collected-", 0) != 0)
                continue;
            std::istringstream in(ReadWholeFile(entry.path().string()));
            std::string out;
            for (std::string line; std::getline(in, line);) {
                std::istringstream words(line);
                std::string tag, boot, uid;
                long long time = 0;
                if (words >> tag >> time >> boot >> uid && tag == "U")
                    line = "U " + std::to_string(time - days * 86400LL) + " " + boot + " " + uid;
                out += line + "\n";
            }
            WriteWholeFile(entry.path().string(), out);
        }
    }

    size_t FiledCount() const {
        size_t n = 0;
        for (const auto& mailbox : kMailboxes)
            n += Files(mailbox).size();
        return n;
    }

    bool Settled(size_t filed) const { return FiledCount() == filed && Files(".raw").empty(); }

    // Every message either still on the remote or filed once (or more, when copies are allowed),
    // with its bytes intact; nothing filed that is not one of them.
    void ExpectNoneLostNoneDoubled(const std::vector<std::string>& originals, const std::vector<std::string>& remote,
                                   bool allowCopies = false) {
        auto filed = Filed();
        std::map<std::string, int> copies;
        for (const auto& [mailbox, text] : filed) {
            EXPECT_NE(std::find(originals.begin(), originals.end(), text), originals.end()) << "unknown: " << text;
            ++copies[text];
        }
        for (const auto& original : originals) {
            const bool onRemote = std::find(remote.begin(), remote.end(), original) != remote.end();
            if (!allowCopies) {
                EXPECT_LE(copies[original], 1) << original;
            }
            EXPECT_TRUE(onRemote || copies[original] >= 1) << "lost: " << original;
        }
    }

    ServerHome home;
};

TEST_F(Collection, TwoAccountsAreFiledByTheRulesetWithTheReceivedLineFirst) {
    DovecotServer dovecot({{"alice", "first-secret"}, {"bob", "second-secret"}});
    const std::string list = Message("build broken", "List-Id: <dev.lists.example.org>\r\n");
    const std::string work = Message("[work] budget", "", "Line one.\r\n.leading period\r\n..two\r\n\r\nend\r\n");
    const std::string other = Message("hello");
    const std::string dropped = Message("[drop] offer");
    const std::string body = Message("[body] report");
    for (const auto& m : {list, work, dropped})
        dovecot.Deliver("alice", m);
    for (const auto& m : {other, body})
        dovecot.Deliver("bob", m);
    SetAccounts({{dovecot.Port(), "alice", "first-secret"}, {dovecot.Port(), "bob", "second-secret"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] {
        return Settled(4) && dovecot.Count("alice") == 0 && dovecot.Count("bob") == 0;
    })) << process->LogText() << dovecot.Log();
    StopServer(*process);
    const std::multimap<std::string, std::string> expected = {
        {"lists", list}, {"work", work}, {"mail", other}, {"work", body}};
    auto filed = Filed();
    EXPECT_EQ(filed.size(), expected.size());
    for (const auto& entry : expected)
        EXPECT_NE(std::find(filed.begin(), filed.end(), entry), filed.end()) << entry.first << ": " << entry.second;
    // The dropped message was deleted on the header pass alone: alice's session fetched two.
    EXPECT_NE(dovecot.Log().find("pop3(alice)"), std::string::npos);
    EXPECT_NE(dovecot.Log().find("retr=2/"), std::string::npos) << dovecot.Log();
    EXPECT_NE(dovecot.Log().find("del=3/3"), std::string::npos) << dovecot.Log();
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
}

TEST_F(Collection, MessagesBeyondTheSessionLimitStayForTheNextCollection) {
    home.SetParam("pop3-messages-per-session", "2");
    DovecotServer dovecot({{std::string("alice"), std::string("pw")}});
    const std::vector<std::string> sent = {Message("one"), Message("two"), Message("three")};
    for (const auto& m : sent)
        dovecot.Deliver("alice", m);
    SetAccounts({{dovecot.Port(), "alice", "pw"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Settled(2) && dovecot.Messages("alice").size() == 1; }))
        << process->LogText() << dovecot.Log();
    EXPECT_EQ(dovecot.Messages("alice"), std::vector<std::string>{sent[2]});
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Settled(3) && dovecot.Count("alice") == 0; })) << process->LogText();
    StopServer(*process);
    ExpectNoneLostNoneDoubled(sent, {});
}

// The same dialogue whether the remote can take commands ahead of its answers or not; only
// one that says PIPELINING gets them ahead.
TEST_F(Collection, ThreeMessagesInGroupsOfTwoGiveTheDialogueInOrder) {
    for (const bool pipelining : {false, true}) {
        SCOPED_TRACE(pipelining ? "pipelining" : "one command at a time");
        ScriptedPOP3Peer peer({Message("one"), Message("two"), Message("three")});
        peer.SetPipelining(pipelining);
        SetAccounts({{peer.Port(), "remote", "secret"}});
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(WaitUntil([&] { return Settled(3 * (pipelining ? 2 : 1)) && peer.Remaining().empty(); }))
            << process->LogText();
        StopServer(*process);
        EXPECT_EQ(peer.Commands(),
                  (std::vector<std::string>{"USER remote", "PASS secret", "CAPA", "UIDL", "STAT", "LIST 1", "TOP 1 0",
                                            "LIST 2", "TOP 2 0", "NOOP", "RETR 1", "RETR 2", "DELE 1", "DELE 2",
                                            "LIST 3", "TOP 3 0", "NOOP", "RETR 3", "DELE 3", "QUIT"}));
        EXPECT_EQ(peer.SawCommandsAhead(), pipelining);
        EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
    }
}

// Without UIDL no message could be told from one collected before: leaving mail there would
// file it again at every collection, so nothing is collected and a WARNING says why.
TEST_F(Collection, MailIsNotLeftOnAServerWithoutUniqueIds) {
    ScriptedPOP3Peer peer({Message("one")});
    SetAccounts({{peer.Port(), "remote", "secret", "", "127.0.0.1", "leave-on-server=\"true\""}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(process->WaitForLog("does not answer UIDL, so mail cannot be left on it; nothing is collected "
                                    "while leave-on-server is \"true\""))
        << process->LogText();
    ASSERT_TRUE(WaitUntil([&] { return !peer.Commands().empty() && peer.Commands().back() == "QUIT"; }));
    StopServer(*process);
    EXPECT_EQ(peer.Commands(), (std::vector<std::string>{"USER remote", "PASS secret", "CAPA", "UIDL", "STAT", "QUIT"}));
    EXPECT_EQ(peer.Remaining().size(), 1u);
    EXPECT_EQ(FiledCount(), 0u);
}

struct FaultCase {
    const char* name;
    ScriptedPOP3Peer::Faults faults;
    const char* logged;  // in the ERROR lines of the failed session
    bool pipelining = false;
    // The server answers UIDL: then no message is filed twice either.
    bool uidl = false;
};

TEST_F(Collection, AFaultyRemoteLosesNothingAndTheNextCollectionTakesTheRest) {
    const FaultCase cases[] = {
        {"dropped in RETR", {.statReply = {}, .dropInRetr = 2, .silentFrom = {}},
         "exception caught when processing 'CPOP3ClientConnection(joe, remote@", false},
        {"PASS refused", {.refusePass = true, .statReply = {}, .silentFrom = {}},
         "when asked 'PASS ******  ' replied with '-ERR [AUTH] Authentication failed.', terminating connection "
         "abnormally", false},
        {"STAT garbage", {.statReply = "+OK plenty 100", .silentFrom = {}},
         "when asked 'STAT  ' replied with '+OK plenty ...', terminating connection abnormally", false},
        {"silent remote", {.statReply = {}, .silentFrom = "RETR"}, "Inactivity timeout 2 seconds", false},
        {"dropped in RETR with DELE sent ahead", {.statReply = {}, .dropInRetr = 2, .silentFrom = {}},
         "exception caught when processing 'CPOP3ClientConnection(joe, remote@", true},
        {"silent at DELE, with UIDL", {.statReply = {}, .silentFrom = "DELE"}, "Inactivity timeout 2 seconds", false,
         true},
    };
    home.SetParam("outgoing-connection-timeout-sec", "2");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& mailbox : kMailboxes)
            for (const auto& path : Files(mailbox))
                fs::remove(path);
        const std::vector<std::string> sent = {Message("one"), Message("[work] two"), Message("three")};
        ScriptedPOP3Peer peer(sent, c.faults);
        peer.SetPipelining(c.pipelining);
        peer.SetUidl(c.uidl);
        SetAccounts({{peer.Port(), "remote", "secret"}});
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(process->WaitForLog(c.logged)) << process->LogText();
        ASSERT_TRUE(WaitUntil([&] { return Files(".raw").empty(); })) << process->LogText();
        EXPECT_EQ(peer.Remaining(), sent);
        ExpectNoneLostNoneDoubled(sent, peer.Remaining());
        EXPECT_TRUE(process->LogLinesWith("secret").empty()) << process->LogText();
        peer.SetFaults({});
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(WaitUntil([&] { return peer.Remaining().empty() && Files(".raw").empty() && FiledCount() >= 3; }))
            << process->LogText();
        StopServer(*process);
        ExpectNoneLostNoneDoubled(sent, {}, /*allowCopies*/ !c.uidl);
        EXPECT_EQ(peer.SawCommandsAhead(), c.pipelining);
    }
}

// A message with a line of 2 MB is collected whole; one the server refuses at RETR and one whose
// LIST answer makes no sense stay there, named once per session; all others are filed once,
// over two collections.
TEST_F(Collection, AMessageTheServerCannotGiveStaysThereAndTheOthersAreFiledOnce) {
    std::vector<std::string> sent;
    for (int i = 1; i <= 23; ++i)
        sent.push_back(Message("number " + std::to_string(i), "",
                               i == 6 ? std::string(2 * 1024 * 1024, 'A') + "\r\n.\r\nend\r\n" : "Hello.\r\n"));
    const uint32_t refused = 13;
    const uint32_t garbled = 18;
    ScriptedPOP3Peer peer(sent, {.statReply = {}, .silentFrom = {}, .refusedMessage = sent[refused - 1],
                                 .garbledMessage = sent[garbled - 1]});
    peer.SetUidl(true);
    SetAccounts({{peer.Port(), "remote", "secret"}});
    auto process = StartServer(home);
    const std::vector<std::string> bad = {sent[refused - 1], sent[garbled - 1]};
    for (int session = 1; session <= 2; ++session) {
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(WaitUntil([&] {
            const auto commands = peer.Commands();
            return std::count(commands.begin(), commands.end(), "QUIT") == session && Settled(sent.size() - 2);
        })) << process->LogText();
        EXPECT_EQ(peer.Remaining(), bad);
    }
    StopServer(*process);
    ExpectNoneLostNoneDoubled(sent, bad);
    // One line per bad message and session, and no other.
    EXPECT_EQ(process->LogLinesWith(" WARNING ").size(), 4u) << process->LogText();
    EXPECT_EQ(process->LogLinesWith("(" + ScriptedPOP3Peer::UniqueId(sent[refused - 1]) +
                                    ") is left on the POP3 server at 127.0.0.1:" + std::to_string(peer.Port()) +
                                    " for user remote: asked 'RETR ")
                  .size(),
              2u)
        << process->LogText();
    EXPECT_EQ(process->LogLinesWith("(" + ScriptedPOP3Peer::UniqueId(sent[garbled - 1]) + ") is left on the POP3 "
                                    "server")
                  .size(),
              2u);
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
}

// A header pass that fails (here: the user's ruleset cannot be read) leaves its message on the
// server at once, named in one WARNING, instead of holding the session until it times out.
TEST_F(Collection, AMessageWhoseHeaderPassFailsStaysOnTheServerAndTheSessionEnds) {
    fs::remove(Dir("ruleset.xml"));
    const std::vector<std::string> sent = {Message("one"), Message("two"), Message("three")};
    ScriptedPOP3Peer peer(sent);
    peer.SetUidl(true);
    SetAccounts({{peer.Port(), "remote", "secret"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return !peer.Commands().empty() && peer.Commands().back() == "QUIT"; }))
        << process->LogText();
    StopServer(*process);
    EXPECT_EQ(peer.Remaining(), sent);
    EXPECT_EQ(FiledCount(), 0u);
    const auto warnings = process->LogLinesWith(" is left on the POP3 server at 127.0.0.1:" +
                                                std::to_string(peer.Port()) +
                                                " for user remote: its header could not be processed: ");
    EXPECT_EQ(warnings.size(), sent.size()) << process->LogText();
    const std::vector<std::string> commands = peer.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 1"), 0);
}

// The connection to Dovecot drops in the middle of a download or of the deletions: the next
// collection files the rest, and nothing twice.
TEST_F(Collection, AConnectionDroppedInRetrOrDeleLosesNoMessageAndStoresNoneTwice) {
    const struct {
        const char* command;
        size_t bytesAfter;
    } cases[] = {{"RETR 3", 300}, {"DELE 2", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        for (const auto& mailbox : kMailboxes)
            for (const auto& path : Files(mailbox))
                fs::remove(path);
        DovecotServer dovecot({{std::string("alice"), std::string("pw")}});
        std::vector<std::string> sent;
        for (int i = 1; i <= 6; ++i) {
            sent.push_back(Message(std::string(c.command) + " number " + std::to_string(i), "",
                                   std::string(2000, 'x') + "\r\n"));
            dovecot.Deliver("alice", sent.back());
        }
        CuttingRelay relay(dovecot.Port(), c.command, c.bytesAfter);
        SetAccounts({{relay.Port(), "alice", "pw"}});
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(WaitUntil([&] { return relay.HasCut() && !process->LogLinesWith(" ERROR ").empty(); }))
            << process->LogText();
        ASSERT_TRUE(WaitUntil([&] { return Files(".raw").empty(); }));
        EXPECT_EQ(dovecot.Count("alice"), sent.size());
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(WaitUntil([&] { return dovecot.Count("alice") == 0 && Settled(sent.size()); }))
            << process->LogText() << dovecot.Log();
        StopServer(*process);
        ExpectNoneLostNoneDoubled(sent, {});
    }
}

// The user's directory on a small tmpfs of its own, in a mount namespace of the test's own, so
// that nothing outside the test sees it; made larger when asked.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& directory) : directory(directory) {}
    ~SmallDisk() {
        if (mounted)
            ::umount2(directory.c_str(), MNT_DETACH);
    }
    // Empty when mounted, else why not.
    std::string Mount(const std::string& size) {
        if (::geteuid() != 0)
            return "needs root to mount a tmpfs";
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("no mount namespace of its own: ") + std::strerror(errno);
        const std::string aside = directory + ".aside";
        fs::rename(directory, aside);
        fs::create_directory(directory);
        if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) != 0)
            return std::string("tmpfs refused: ") + std::strerror(errno);
        mounted = true;
        fs::copy(aside, directory, fs::copy_options::recursive);
        fs::remove_all(aside);
        return "";
    }
    bool Grow(const std::string& size) {
        return ::mount("tmpfs", directory.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
    }

private:
    std::string directory;
    bool mounted = false;
};

// The disk fills in the middle of a collection, then has room again: every message is filed
// once, none lost.
TEST_F(Collection, ADiskThatFillsAndFreesLosesNoMessageAndStoresNoneTwice) {
    SmallDisk disk(home.MailDirectory() + "/joe");
    if (const std::string why = disk.Mount("1m"); !why.empty())
        GTEST_SKIP() << why;
    DovecotServer dovecot({{std::string("alice"), std::string("pw")}});
    std::vector<std::string> sent;
    for (int i = 0; i < 80; ++i) {
        sent.push_back(Message("number " + std::to_string(i), "", std::string(30000, 'a' + i % 26) + "\r\n"));
        dovecot.Deliver("alice", sent.back());
    }
    SetAccounts({{dovecot.Port(), "alice", "pw"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(process->WaitForLog("GetLastError=28")) << process->LogText();
    ASSERT_TRUE(WaitUntil([&] { return dovecot.Log().find("Disconnected") != std::string::npos; }))
        << dovecot.Log();
    EXPECT_GT(FiledCount(), 0u);
    EXPECT_LT(FiledCount(), sent.size());
    ASSERT_TRUE(disk.Grow("64m"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (dovecot.Count("alice") != 0 && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(process->Command("check user joe"), "ok");
        WaitUntil([&] { return dovecot.Count("alice") == 0; }, std::chrono::seconds(10));
    }
    ASSERT_TRUE(WaitUntil([&] { return dovecot.Count("alice") == 0 && Settled(sent.size()); })) << process->LogText();
    StopServer(*process);
    ExpectNoneLostNoneDoubled(sent, {});
    EXPECT_EQ(FiledCount(), sent.size());
}

// Left on the server: filed once however often collected, deleted only once its days are over
// (the record's times are set back to get there).
TEST_F(Collection, MailLeftOnTheServerIsFiledOnceAndDeletedOnlyAfterItsDays) {
    DovecotServer dovecot({{std::string("alice"), std::string("pw")}});
    std::vector<std::string> sent;
    auto collect = [&](int session) {
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        EXPECT_TRUE(WaitUntil([&] {
            size_t sessions = 0;
            for (size_t at = 0; (at = dovecot.Log().find("Logged out", at)) != std::string::npos; ++at)
                ++sessions;
            return sessions == static_cast<size_t>(session) && Settled(sent.size());
        })) << process->LogText() << dovecot.Log();
        StopServer(*process);
        EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
    };
    SetAccounts({{dovecot.Port(), "alice", "pw", "", "127.0.0.1", "leave-on-server=\"true\""}});
    for (int session = 1; session <= 3; ++session) {
        for (int i = 0; i < 2; ++i) {
            sent.push_back(Message("run " + std::to_string(session) + " number " + std::to_string(i)));
            dovecot.Deliver("alice", sent.back());
        }
        collect(session);
        EXPECT_EQ(dovecot.Count("alice"), sent.size());
    }
    ExpectNoneLostNoneDoubled(sent, {});
    SetAccounts({{dovecot.Port(), "alice", "pw", "", "127.0.0.1",
                  "leave-on-server=\"true\" leave-on-server-days=\"3\""}});
    const struct {
        int daysBack;
        size_t left;
    } steps[] = {{0, sent.size()}, {2, sent.size()}, {2, 0}};
    int session = 3;
    for (const auto& step : steps) {
        SetRecordBack(step.daysBack);
        collect(++session);
        EXPECT_EQ(dovecot.Count("alice"), step.left) << step.daysBack;
    }
    ExpectNoneLostNoneDoubled(sent, {});
    EXPECT_EQ(FiledCount(), sent.size());
}

// A host name whose resolver never answers holds up none of the user's other accounts: the name
// is resolved apart, and its account alone ends, in one ERROR line, at the connection's time
// limit. (Resolved on the timer thread, it held everything behind it for the resolver's 30 s.)
TEST_F(Collection, AHostWhoseResolverNeverAnswersHoldsUpNoOtherAccount) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a mount namespace of its own needs root";
    // Takes the queries and never answers them; no other test uses this address.
    const int silent = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in resolver{};
    resolver.sin_family = AF_INET;
    resolver.sin_port = htons(53);
    ::inet_pton(AF_INET, "127.0.0.4", &resolver.sin_addr);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&resolver), sizeof resolver), 0) << std::strerror(errno);
    ScriptedPOP3Peer peer({Message("arrives")});
    home.SetParam("pop3-connection-attempt-timeout-sec", "5");
    SetAccounts({{peer.Port(), "remote", "secret", "", "pop.never-answered.test"}, {peer.Port(), "remote", "secret"}});
    auto process = StartServerWithResolvConf(home, "nameserver 127.0.0.4\noptions timeout:30 attempts:1\n");
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Settled(1); })) << process->LogText();
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
    ASSERT_TRUE(process->WaitForLog("pop.never-answered.test:" + std::to_string(peer.Port()) +
                                    " for user remote is not asked to log in, its name was not resolved within 5 "
                                    "seconds; terminating connection abnormally"))
        << process->LogText();
    StopServer(*process);
    EXPECT_EQ(process->LogLinesWith(" ERROR ").size(), 1u) << process->LogText();
    ::close(silent);
}

// A server that never takes the connection (its queue of connections is full, so the kernel
// drops each attempt) ends the account in one ERROR line at the time limit, not silently.
TEST_F(Collection, AServerThatNeverAcceptsTheConnectionEndsTheAccountInOneErrorLine) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    std::vector<int> queued;
    for (int i = 0; i < 2; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    home.SetParam("pop3-connection-attempt-timeout-sec", "2");
    const uint16_t port = ntohs(at.sin_port);
    SetAccounts({{port, "remote", "secret"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(process->WaitForLog("127.0.0.1:" + std::to_string(port) + " for user remote is not asked to log in, it "
                                    "did not accept the connection within 2 seconds; terminating connection abnormally"))
        << process->LogText();
    StopServer(*process);
    EXPECT_EQ(process->LogLinesWith(" ERROR ").size(), 1u) << process->LogText();
    for (int descriptor : queued)
        ::close(descriptor);
    ::close(listener);
}

TEST(CollectionConfiguration, MessagesPerSyncBelowOneIsRefusedAtStartUp) {
    ServerHome home;
    home.SetParam("pop3-messages-per-sync", "0");
    home.WriteConfig();
    OvrinProcess process({home.ConfigPath()});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.LogLinesWith("ERROR Startup(): The configuration parameter pop3-messages-per-sync is "
                                   "'0', it must be at least 1")
                  .size(),
              1u)
        << process.LogText();
    EXPECT_TRUE(process.LogLinesWith(kStartedLine).empty());
}

}  // namespace

namespace {

// Killed at random moments of a collection, then started again until all is collected: every
// message arrives once, by its Message-ID. Slow under the sanitizers, so the normal build alone
// runs it.
TEST_F(Collection, KilledAtRandomMomentsItLosesNoMessageAndStoresNoneTwice) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "runs in the normal build only";
#endif
    constexpr int kMessages = 500;
    constexpr int kKills = 20;
    home.SetParam("pop3-messages-per-sync", "10");
    home.SetParam("spool-interval-sec", "1");
    DovecotServer dovecot({{std::string("alice"), std::string("pw")}});
    std::vector<std::string> sent;
    for (int i = 0; i < kMessages; ++i) {
        sent.push_back(Message(i % 3 == 0 ? "[work] number " + std::to_string(i) : "number " + std::to_string(i),
                               i % 5 == 0 ? "List-Id: <dev.lists.example.org>\r\n" : "",
                               "Body of message " + std::to_string(i) + ".\r\n" + std::string(i % 7 * 300, 'x') + "\r\n"));
        dovecot.Deliver("alice", sent.back());
    }
    SetAccounts({{dovecot.Port(), "alice", "pw"}});
    std::mt19937 random(20261208);
    // Short enough that the twenty kills fall inside the collection, not after it.
    std::uniform_int_distribution<int> moment(30, 300);
    for (int kill = 0; kill < kKills; ++kill) {
        auto process = StartServer(home);
        process->SendLine("check user joe");
        std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
        process->Signal(SIGKILL);
        process->WaitForExit();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto process = StartServer(home);
    while (!dovecot.Count("alice") == 0 && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(process->Command("check user joe"), "ok");
        WaitUntil([&] { return dovecot.Count("alice") == 0; }, std::chrono::seconds(10));
    }
    ASSERT_TRUE(WaitUntil([&] { return dovecot.Count("alice") == 0 && Files(".raw").empty() &&
                                       Files(".spool").empty() && FiledCount() >= kMessages; }))
        << process->LogText();
    StopServer(*process);
    ExpectNoneLostNoneDoubled(sent, {});
    const std::multiset<std::string> ids = MessageIds();
    EXPECT_EQ(ids.size(), static_cast<size_t>(kMessages));
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), static_cast<size_t>(kMessages));
    EXPECT_EQ(FiledCount(), static_cast<size_t>(kMessages));
}

}  // namespace

namespace {

// Dovecot with a certificate of a throw-away CA, which the server trusts through tls-ca-file.
class SecuredCollection : public Collection {
protected:
    void SetUp() override {
        Collection::SetUp();
        home.SetParam("tls-ca-file", ca.CertificateFile());
    }
    DovecotServer::Certificate Certificate(const std::string& altNames) {
        const TestCA::Issued issued = ca.Issue(altNames);
        return {issued.certificate, issued.key};
    }

    TestCA ca;
};

TEST_F(SecuredCollection, MailIsCollectedOverImplicitTLSAndOverSTLS) {
    DovecotServer dovecot({{"alice", "pw"}, {"bob", "pw"}}, Certificate("DNS:localhost,IP:127.0.0.1"));
    const std::vector<std::string> sent = {Message("one"), Message("two"), Message("[work] three")};
    dovecot.Deliver("alice", sent[0]);
    dovecot.Deliver("alice", sent[1]);
    dovecot.Deliver("bob", sent[2]);
    SetAccounts({{dovecot.TLSPort(), "alice", "pw", "tls", "localhost"}, {dovecot.Port(), "bob", "pw", "starttls"}});
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Settled(3) && dovecot.Count("alice") == 0 && dovecot.Count("bob") == 0; }))
        << process->LogText() << dovecot.Log();
    StopServer(*process);
    ExpectNoneLostNoneDoubled(sent, {});
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
    // Both logins came over TLS.
    const std::string log = dovecot.Log();
    for (const char* user : {"user=<alice>", "user=<bob>"}) {
        const size_t login = log.find(std::string("Login: ") + user);
        ASSERT_NE(login, std::string::npos) << log;
        EXPECT_NE(log.substr(login, log.find('\n', login) - login).find(", TLS"), std::string::npos) << log;
    }
}

TEST_F(SecuredCollection, ARefusedCertificateEndsTheSessionInOneLineAndTouchesNothing) {
    DovecotServer dovecot({{"alice", "pw"}}, Certificate("DNS:pop.example.org"));
    dovecot.Deliver("alice", Message("one"));
    const struct {
        const char* security;
        uint16_t port;
    } cases[] = {{"tls", dovecot.TLSPort()}, {"starttls", dovecot.Port()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.security);
        SetAccounts({{c.port, "alice", "pw", c.security, "localhost"}});
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        const std::string line = "POP3 server at localhost:" + std::to_string(c.port) +
                                 " for user alice could not be secured, the certificate was refused: hostname "
                                 "mismatch; terminating connection abnormally";
        ASSERT_TRUE(process->WaitForLog(line)) << process->LogText();
        StopServer(*process);
        EXPECT_EQ(process->LogLinesWith(" ERROR ").size(), 1u) << process->LogText();
        EXPECT_EQ(process->LogLinesWith(" ERROR CPOP3ClientConnection(joe, alice@localhost:").size(), 1u);
    }
    EXPECT_EQ(dovecot.Count("alice"), 1u);
    EXPECT_EQ(FiledCount(), 0u);
    EXPECT_EQ(dovecot.Log().find("Login: "), std::string::npos) << dovecot.Log();
}

TEST_F(SecuredCollection, AnAccountThatWantsTLSNeverSendsItsPasswordInPlain) {
    ScriptedPOP3Peer peer({Message("one")});
    const struct {
        const char* security;
        const char* logged;
    } cases[] = {
        {"tls", "could not be secured, the TLS handshake failed: "},
        {"starttls", "when asked 'STLS  ' replied with '-ERR Unknown command or message', terminating connection "
                     "abnormally"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.security);
        SetAccounts({{peer.Port(), "remote", "secret", c.security}});
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(process->WaitForLog(c.logged)) << process->LogText();
        StopServer(*process);
    }
    for (const std::string& command : peer.Commands()) {
        EXPECT_EQ(command.find("USER"), std::string::npos) << command;
        EXPECT_EQ(command.find("PASS"), std::string::npos) << command;
    }
    EXPECT_EQ(peer.Remaining().size(), 1u);
}

}  // namespace
