// The filter end to end: the real ovrin program with a temporary mail store, messages dropped
// into a user's .spool, and what ends up in the mailboxes, the ruleset file and the log.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/digest.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/wait.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

const boost::regex kMessageFileName("\\d{17}-[0-9A-F]{16}-[0-9A-F]{8}\\.msg");

class Filtering : public testing::Test {
protected:
    void SetUp() override {
        home.AddUser("joe");
        for (const char* mailbox : {"lists", "work"})
            fs::create_directory(Dir(mailbox));
        // On every tick of the timer, so that tests wait about a second per step.
        home.SetParam("spool-interval-sec", "0");
    }

    std::unique_ptr<OvrinProcess> Start() { return StartServer(home); }
    void Stop(OvrinProcess& process) { StopServer(process); }

    std::string Dir(const std::string& name) const { return home.UserPath("joe", name); }

    void WriteRules(const std::string& rules) { WriteWholeFile(Dir("ruleset.xml"), RulesetFile(rules)); }

    // Written beside and renamed in, as a whole, the way a message appears in the spool.
    void Spool(const std::string& name, const std::string& text) {
        const std::string staged = home.Path() + "/staged-" + name;
        WriteWholeFile(staged, text);
        fs::rename(staged, Dir(".spool") + "/" + name);
    }

    std::vector<std::string> Files(const std::string& mailbox) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Dir(mailbox)))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    bool Settled(size_t inMailboxes, const std::vector<std::string>& mailboxes) const {
        size_t filed = 0;
        for (const auto& mailbox : mailboxes)
            filed += Files(mailbox).size();
        return filed == inMailboxes && Files(".spool").empty() && Files(".raw").empty();
    }

    ServerHome home;
};

const std::string kListMessage =
    "Received: from relay.example.net\r\n\tby mx.example.org; Mon, 7 Dec 2026 10:00:00 +0000\r\n"
    "From: List Robot <robot@lists.example.org>\r\nList-Id: Developers <dev.lists.example.org>\r\n"
    "Subject: build broken\r\n\r\nThe build is broken.\r\n";
const std::string kWorkMessage =
    "From: Boss <boss@corp.example>\r\nTo: joe@corp.example\r\nSubject: budget\r\n\r\nSee me.\r\n";
const std::string kOtherMessage = "From: Someone <someone@else.example>\r\nSubject: hello\r\n\r\nHi.\r\n";

std::string RoutingRules() {
    return Rule({.description = "lists", .matches = RegexMatch("list-id", "any", {".+"}),
                 .actions = DispatchTo("lists")}) +
           Rule({.description = "work", .matches = RegexMatch("from", "any", {".*@corp\\.example>?"}),
                 .actions = DispatchTo("work")});
}

}  // namespace

TEST_F(Filtering, SpooledMessagesLandInTheMailboxesTheirRulesChooseAndSpamWhenNoneAccepts) {
    WriteRules(RoutingRules());
    auto process = Start();
    Spool("first.msg", kListMessage);
    Spool("second.msg", kWorkMessage);
    Spool("third.msg", kOtherMessage);
    ASSERT_TRUE(WaitUntil([&] { return Settled(3, {"lists", "work", "spam", "mail"}); })) << process->LogText();
    Stop(*process);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"lists", kListMessage}, {"work", kWorkMessage}, {"spam", kOtherMessage}};
    for (const auto& [mailbox, text] : expected) {
        auto files = Files(mailbox);
        ASSERT_EQ(files.size(), 1u) << mailbox;
        // Named by the message id: arrival time, the hash of the header, a GUID part.
        EXPECT_TRUE(boost::regex_match(files[0], kMessageFileName)) << files[0];
        const std::string header = text.substr(0, text.find("\r\n\r\n") + 4);
        EXPECT_EQ(files[0].substr(18, 16), Ovrin::ShortHash(header)) << files[0];
        EXPECT_EQ(ReadWholeFile(Dir(mailbox) + "/" + files[0]), text) << mailbox;
    }
    EXPECT_TRUE(Files("mail").empty());
    EXPECT_EQ(process->LogLinesWith("WARNING CRuleSet::DispatchMessage(joe): message was not accepted by any rule, "
                                    "dispatching message to spam mailbox")
                  .size(),
              1u)
        << process->LogText();
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
}

TEST_F(Filtering, ManyMessagesOfOneUserOnASingleWorkerAreAllFiled) {
    // One thread: every message of the spool run is queued on it while the others wait.
    home.SetParam("worker-threads-per-pool", "1");
    WriteRules(RoutingRules());
    for (int i = 0; i < 20; ++i)
        Spool("m" + std::to_string(i) + ".msg", i % 2 ? kListMessage : kWorkMessage);
    auto process = Start();
    ASSERT_TRUE(WaitUntil([&] { return Settled(20, {"lists", "work", "spam"}); })) << process->LogText();
    Stop(*process);
    EXPECT_EQ(Files("lists").size(), 10u);
    EXPECT_EQ(Files("work").size(), 10u);
    EXPECT_TRUE(process->LogLinesWith("duplicate").empty()) << process->LogText();
}

TEST_F(Filtering, MessagesLeftInRawByAnEarlierRunAreFiledAfterTheStart) {
    WriteRules(RoutingRules());
    WriteWholeFile(Dir(".raw") + "/20261207100000123.456.msg", kListMessage);
    auto process = Start();
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"lists", "spam"}); })) << process->LogText();
    Stop(*process);
    ASSERT_EQ(Files("lists").size(), 1u);
    EXPECT_EQ(ReadWholeFile(Dir("lists") + "/" + Files("lists")[0]), kListMessage);
}

TEST_F(Filtering, ADeleteResultRemovesTheFile) {
    WriteRules(Rule({.description = "drop lists", .matches = RegexMatch("list-id", "any", {".+"}),
                     .actions = DispatchTo("<delete>")}) +
               Rule({.description = "keep", .matches = AnyMatch(), .actions = DispatchTo("mail")}));
    auto process = Start();
    Spool("doomed.msg", kListMessage);
    Spool("kept.msg", kWorkMessage);
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"mail", "spam", "lists"}); })) << process->LogText();
    Stop(*process);
    ASSERT_EQ(Files("mail").size(), 1u);
    EXPECT_EQ(ReadWholeFile(Dir("mail") + "/" + Files("mail")[0]), kWorkMessage);
    EXPECT_TRUE(process->LogLinesWith("MoveToTargetMailbox").empty()) << process->LogText();
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
}

TEST_F(Filtering, ABrokenMessageGoesToSpamUnderItsSpoolName) {
    WriteRules(Rule({.description = "all", .matches = AnyMatch(), .actions = DispatchTo("mail")}));
    // 70 000 bytes of header lines and not one blank line among them.
    std::string broken;
    while (broken.size() < 70000)
        broken += "X-Filler: " + std::string(60, 'f') + "\r\n";
    auto process = Start();
    Spool("Broken-One.msg", broken);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(Dir("spam") + "/Broken-One.msg"); })) << process->LogText();
    Stop(*process);
    EXPECT_EQ(ReadWholeFile(Dir("spam") + "/Broken-One.msg"), broken);
    EXPECT_TRUE(Files(".raw").empty());
    EXPECT_TRUE(Files("mail").empty());
    auto errors = process->LogLinesWith(" ERROR ");
    ASSERT_FALSE(errors.empty()) << process->LogText();
    const boost::regex line(".* ERROR TimerCallback_SpoolMessages\\(''\\): caught exception while processing file '.*/"
                            "joe/\\.raw/\\d{17}\\.\\d{3}\\.msg', the file is moved to spam: The message is broken, the "
                            "first 65536 bytes don't contain the message header");
    EXPECT_TRUE(boost::regex_match(errors.back(), line)) << errors.back();
}

TEST_F(Filtering, AnLfOnlyFileIsFilteredWithACrLfHeaderAndLeftByteForByte) {
    // Anchored patterns: a value that kept a stray CR would not match.
    WriteRules(Rule({.description = "subject", .matches = RegexMatch("subject", "any", {"plain unix text"}),
                     .actions = DispatchTo("work")}));
    const std::string text = "From: Ann <ann@example.org>\nSubject: plain\n unix text\n\nline one\nline two\n";
    auto process = Start();
    Spool("unix.msg", text);
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"work", "spam", "mail"}); })) << process->LogText();
    Stop(*process);
    ASSERT_EQ(Files("work").size(), 1u) << process->LogText();
    const std::string name = Files("work")[0];
    EXPECT_EQ(ReadWholeFile(Dir("work") + "/" + name), text);
    EXPECT_EQ(name.substr(18, 16), Ovrin::ShortHash("From: Ann <ann@example.org>\r\nSubject: plain\r\n unix text\r\n\r\n"));
}

TEST_F(Filtering, ATrainedFileRunsInTrainingModeOnceAndTheEntryIsGone) {
    // Learns only in training mode: the inserted rule files later messages of that subject.
    const std::string learned = Rule({.description = "learned", .matches = RegexMatch("subject", "any", {"budget"}),
                                      .actions = DispatchTo("work"), .id = "learned"});
    WriteRules(Rule({.description = "learn", .matches = RegexMatch("x-ovrin-training-mailbox", "any", {".+"}),
                     .actions = RulesetAction("insert-first", learned), .trainable = true}) +
               Rule({.description = "all", .matches = AnyMatch(), .actions = DispatchTo("mail")}));
    auto process = Start();
    ASSERT_EQ(process->Command("train file Trained-File.MSG lists"), "ok");
    Spool("TRAINED-file.msg", kWorkMessage);
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"lists", "work", "mail", "spam"}); })) << process->LogText();
    EXPECT_EQ(Files("lists").size(), 1u) << "the training mailbox, although the ruleset says mail";
    // The same name again: the map entry is gone, the ruleset (now with the learned rule) decides.
    Spool("TRAINED-file.msg", kWorkMessage);
    ASSERT_TRUE(WaitUntil([&] { return Settled(2, {"lists", "work", "mail", "spam"}); })) << process->LogText();
    Stop(*process);
    EXPECT_EQ(Files("lists").size(), 1u);
    EXPECT_EQ(Files("work").size(), 1u);
    EXPECT_TRUE(Files("mail").empty());
    // Written back at shutdown with the learned rule first.
    const std::string saved = ReadWholeFile(Dir("ruleset.xml"));
    EXPECT_LT(saved.find("id=\"learned\""), saved.find("description=\"learn\"")) << saved;
    EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
}

TEST_F(Filtering, ARulesetActionsChangeIsWrittenBackAfterTheFlushInterval) {
    home.SetParam("flush-interval-sec", "1");
    const std::string added = Rule({.description = "added by a message", .matches = AnyMatch(),
                                    .actions = DispatchTo("work"), .id = "added"});
    WriteRules(Rule({.description = "grow", .matches = AnyMatch(),
                     .actions = RulesetAction("insert-last", added) + DispatchTo("mail"), .id = "grow"}));
    auto process = Start();
    Spool("one.msg", kOtherMessage);
    ASSERT_TRUE(WaitUntil([&] { return Files("mail").size() == 1; })) << process->LogText();
    // While the server runs: only the flush can have written it.
    ASSERT_TRUE(WaitUntil([&] {
        return ReadWholeFile(Dir("ruleset.xml")).find("<ruleset dispatched-messages=\"1\"") != std::string::npos;
    })) << process->LogText();
    Ovrin::CXMLDocument saved(Dir("ruleset.xml"));
    Ovrin::CXPathContext context(saved);
    auto rules = context.Eval("/ruleset/rules/rule/@id");
    ASSERT_EQ(rules->GetNodeCount(), 2);
    EXPECT_EQ(Ovrin::CXPathContext(rules->GetNode(1)).Eval(".")->GetText(), "added");
    EXPECT_EQ(context.Eval("/ruleset/rules/rule[@id='grow']/@dispatched-messages")->GetText(), "1");
    Stop(*process);
}

TEST_F(Filtering, LockRulesetHoldsMessageProcessingUntilUnlockWithoutHoldingAWorker) {
    WriteRules(RoutingRules());
    home.AddUser("ann");
    WriteWholeFile(home.UserPath("ann", "ruleset.xml"), RulesetFile(RoutingRules()));
    fs::create_directory(home.UserPath("ann", "lists"));
    // One worker: a worker waiting for joe's ruleset would hold ann's message too.
    home.SetParam("worker-threads-per-pool", "1");
    auto process = Start();
    ASSERT_EQ(process->Command("lock ruleset joe"), "ok");
    Spool("held.msg", kListMessage);
    WriteWholeFile(home.UserPath("ann", ".spool") + "/free.msg", kListMessage);
    ASSERT_TRUE(WaitUntil([&] { return !fs::is_empty(home.UserPath("ann", "lists")); })) << process->LogText();
    // joe's message waits in the spool, untouched, while the ruleset is held.
    EXPECT_EQ(Files(".spool"), std::vector<std::string>{"held.msg"});
    EXPECT_TRUE(Files(".raw").empty());
    EXPECT_TRUE(Files("lists").empty());
    ASSERT_EQ(process->Command("unlock ruleset joe"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"lists", "work", "spam"}); })) << process->LogText();
    EXPECT_EQ(Files("lists").size(), 1u);
    Stop(*process);
}

TEST_F(Filtering, StopWhileTheManagerHoldsTheRulesetEndsAndKeepsTheMessageForTheNextRun) {
    WriteRules(RoutingRules());
    auto process = Start();
    ASSERT_EQ(process->Command("lock ruleset joe"), "ok");
    Spool("held.msg", kListMessage);
    // The stop releases the manager's lock; the message is still in the spool or filed, never lost.
    Stop(*process);
    EXPECT_EQ(Files(".spool").size() + Files("lists").size(), 1u);
    EXPECT_TRUE(Files(".raw").empty());
    auto again = Start();
    ASSERT_TRUE(WaitUntil([&] { return Settled(1, {"lists", "work", "spam"}); })) << again->LogText();
    EXPECT_EQ(Files("lists").size(), 1u);
    Stop(*again);
}

TEST_F(Filtering, CheckUserCollectsTheUsersMailAtTheNextCheck) {
    auto process = Start();
    EXPECT_EQ(process->Command("check user joe"), "ok");
    EXPECT_TRUE(process->WaitForLog("WARNING TimerCallback_InitiateUserPOP3Session('joe'): no POP3 servers defined"))
        << process->LogText();
    Stop(*process);
    EXPECT_EQ(process->LogLinesWith("no POP3 servers defined").size(), 1u) << process->LogText();
}

TEST_F(Filtering, TheUserRescanCollectsEveryUsersMailEachMailInterval) {
    home.AddUser("ann");
    home.SetParam("mail-interval-sec", "1");
    auto process = Start();
    for (const char* user : {"joe", "ann"})
        EXPECT_TRUE(process->WaitForLog(std::string("WARNING TimerCallback_InitiateUserPOP3Session('") + user +
                                        "'): no POP3 servers defined"))
            << process->LogText();
    Stop(*process);
}

TEST_F(Filtering, AWorkerPoolWithoutThreadsEndsStartUp) {
    home.SetParam("worker-threads-per-pool", "0");
    home.WriteConfig();
    OvrinProcess process({home.ConfigPath()});
    EXPECT_EQ(process.WaitForExit(), 0) << process.LogText();
    const std::string reason =
        ": Invalid value of worker-threads-per-pool: '0', a worker pool needs at least one thread";
    for (const char* label : {"CWorkerThreadPool::CWorkerThreadPool()", "StartThreads()", "main()"})
        EXPECT_EQ(process.LogLinesWith(std::string(" ERROR ") + label + reason).size(), 1u) << process.LogText();
    EXPECT_TRUE(process.LogLinesWith("started").empty());
}

TEST(FilteringFlush, FlushesWhileWorkersHoldTheRulesetLoseNoCount) {
    // A catch-all first and many rules after it: each flush writes a large file while the
    // workers keep dispatching.
    std::string rules = Rule({.description = "all", .matches = AnyMatch(), .actions = DispatchTo("mail")});
    for (int i = 0; i < 600; ++i)
        rules += Rule({.description = "never " + std::to_string(i), .matches = RegexMatch("x-never", "any", {"x"}),
                       .actions = DispatchTo("spam")});
    constexpr size_t kMessages = 480;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        ServerHome home;
        home.AddUser("joe");
        home.SetParam("spool-interval-sec", "0");
        home.SetParam("flush-interval-sec", "1");
        WriteWholeFile(home.UserPath("joe", "ruleset.xml"), RulesetFile(rules));
        for (size_t i = 0; i < kMessages; ++i)
            WriteWholeFile(home.UserPath("joe", ".spool/m" + std::to_string(i) + ".msg"),
                           "Subject: number " + std::to_string(i) + "\r\n\r\nbody\r\n");
        auto process = StartServer(home);
        const auto filed = [&] {
            return static_cast<size_t>(std::distance(fs::directory_iterator(home.UserPath("joe", "mail")),
                                                     fs::directory_iterator()));
        };
        ASSERT_TRUE(WaitUntil([&] { return filed() == kMessages; }, std::chrono::seconds(120))) << process->LogText();
        StopServer(*process);
        Ovrin::CXMLDocument saved(home.UserPath("joe", "ruleset.xml"));
        Ovrin::CXPathContext context(saved);
        EXPECT_EQ(context.Eval("/ruleset/@dispatched-messages")->GetText(), std::to_string(kMessages));
        EXPECT_EQ(context.Eval("/ruleset/rules/rule[1]/@dispatched-messages")->GetText(), std::to_string(kMessages));
    }
}

TEST_F(Filtering, AReloadOfUsersDuringASlowMessageIsSeenByTheNextMessage) {
    const auto userFile = [](const char* team) {
        return std::string("<?xml version=\"1.0\"?>\n<user><params><param name=\"team\" value=\"") + team +
               "\"/></params><pop3-server><authentication handler=\"plaintext\" password=\"\"/></pop3-server>"
               "<pop3-clients/></user>\n";
    };
    WriteWholeFile(Dir("user.xml"), userFile("blue"));
    WriteRules(Rule({.description = "slow",
                     .matches = PythonMatch("import time\nif headers['subject'] == 'slow':\n"
                                            "    print('slow message sleeps')\n    time.sleep(3)\n    result = 'match'\n"),
                     .actions = DispatchTo("lists")}) +
               Rule({.description = "red team", .matches = RegexMatch("x-ovrin-user-team", "any", {"red"}),
                     .actions = DispatchTo("work")}));
    auto process = Start();
    Spool("slow.msg", "Subject: slow\r\n\r\nbody\r\n");
    ASSERT_TRUE(process->WaitForLog("Python script output: slow message sleeps")) << process->LogText();
    WriteWholeFile(Dir("user.xml"), userFile("red"));
    ASSERT_EQ(process->Command("reload users"), "ok");
    Spool("next.msg", "Subject: next\r\n\r\nbody\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Settled(2, {"lists", "work", "spam"}); })) << process->LogText();
    Stop(*process);
    EXPECT_EQ(Files("lists").size(), 1u);
    EXPECT_EQ(Files("work").size(), 1u) << process->LogText();
}
