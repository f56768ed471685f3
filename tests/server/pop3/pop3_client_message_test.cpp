// Message processing inside the server's process: the server's header fields and the message id,
// both passes with their dispatches, the header-pass event, and the final move or deletion.
#include <gtest/gtest.h>


#include <boost/regex.hpp>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/digest.h"
#include "common/exception.h"
#include "common/text.h"
#include "server/pop3/user_pool.h"
#include "server/rules/ruleset_pool.h"
#include "server/pop3/pop3_client_message.h"
#include "tests/server/rules/rules_fixture.h"
#include "server/core/worker_thread_pool.h"
#include "tests/support/held_elsewhere.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

using namespace Ovrin;
using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "From: Ann <ann@example.org>\r\nSubject: quarterly figures\r\n\r\n";

class MessageProcessing : public testing::Test {
protected:
    void SetUp() override {
        XMLInstallErrorHandler();
        Config().SetValue("mail-directory", dir / "mail");
        fs::create_directories(dir / "mail/joe");
        for (const char* sub : {".raw", ".spool", "spam", "mail", "lists"})
            fs::create_directory(dir / ("mail/joe/" + std::string(sub)));
        fs::copy_file(ShippedRulesetSchema(), dir / "mail/joe/ruleset.xsd");
        WriteWholeFile(dir / "mail/joe/user.xml",
                       "<?xml version=\"1.0\"?>\n<user><params><param name=\"full-name\" value=\"Joe Bloggs\"/>"
                       "<param name=\"team\" value=\"blue\"/></params><pop3-server/><pop3-clients/></user>\n");
        UserPool().Clear();
        RuleSetPool().Clear();
        user = UserPool().GetObject("joe", kInfinite);
    }
    void TearDown() override {
        user.reset();
        UserPool().Clear();
        RuleSetPool().Clear();  // written back while the directory still exists
    }

    void WriteRules(const std::string& rules) { WriteWholeFile(dir / "mail/joe/ruleset.xml", RulesetFile(rules)); }

    // A message whose file is in .raw, as the POP3 client leaves it before the header pass.
    CPOP3ClientMessagePtr Downloaded(const std::string& header = kHeader, const std::string& body = "body\r\n") {
        auto message = std::make_shared<CPOP3ClientMessage>("joe", user);
        message->SetMessageSize(static_cast<uint32_t>(header.size() + body.size()));
        message->SetMessageHeader(header);
        rawPath = dir / ("mail/joe/.raw/" + std::to_string(++counter) + ".msg");
        WriteWholeFile(rawPath, header + body);
        return message;
    }
    uint32_t DispatchedMessages() { return RuleSetPool().GetObject("joe", kInfinite)->GetDispatchedMessages(); }
    std::vector<std::string> Files(const std::string& mailbox) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir / ("mail/joe/" + mailbox)))
            names.push_back(entry.path().filename().string());
        return names;
    }

    TempDir dir;
    CUserPool::CObjectPtr user;
    std::string rawPath;
    int counter = 0;
};

}  // namespace

TEST_F(MessageProcessing, TheMessageIdIsTimeHeaderHashAndAGuidPart) {
    auto first = Downloaded();
    auto second = Downloaded();
    const boost::regex form("(\\d{17})-([0-9A-F]{16})-([0-9A-F]{8})");
    boost::smatch parts;
    ASSERT_TRUE(boost::regex_match(first->GetMessageId(), parts, form)) << first->GetMessageId();
    EXPECT_EQ(first->GetMessageId().size(), 43u);
    EXPECT_EQ(parts.str(2), ShortHash(kHeader));
    // Same header, same millisecond or not: the GUID part tells them apart.
    EXPECT_NE(first->GetMessageId(), second->GetMessageId());
    EXPECT_EQ(first->GetMessageId().substr(18, 16), second->GetMessageId().substr(18, 16));
    // Work units of one user are never taken for one another.
    EXPECT_NE(first->GetName(), second->GetName());
    EXPECT_EQ(first->GetName().rfind("CPOP3ClientMessage(joe, 0x", 0), 0u) << first->GetName();
}

TEST_F(MessageProcessing, TheHeaderCarriesTheServersFieldsTheConfigurationAndTheUsersParameters) {
    auto message = Downloaded("Subject: a\r\nX-Ovrin-Username: forged\r\nX-Ovrin-Training-Mailbox: lists\r\n\r\n");
    message->SetMessageSize(123456);  // the creator's figure, not the header's length
    const time_t before = std::time(nullptr);
    message->ParseMessageHeader();
    const time_t after = std::time(nullptr);
    auto header = message->GetHeader();
    ASSERT_TRUE(header);
    EXPECT_EQ(header->GetValue("x-ovrin-message-size", 0), "123456");
    EXPECT_EQ(header->GetValue("x-ovrin-message-id", 0), message->GetMessageId());
    EXPECT_LT(AtoI(header->GetValue("x-ovrin-random-short", 0)), 1000);
    EXPECT_FALSE(header->GetValue("x-ovrin-random-long", 0).empty());
    // The message's own x-ovrin- lines are not taken: one value, the server's.
    EXPECT_EQ(header->GetValueCount("x-ovrin-username"), 1u);
    EXPECT_EQ(header->GetValue("x-ovrin-username", 0), "joe");
    EXPECT_EQ(header->GetValueCount("x-ovrin-training-mailbox"), 0u);
    const std::vector<std::pair<std::string, time_t>> expiries = {
        {"one-minute", 60}, {"half-hour", 1800}, {"one-week", 604800}, {"one-month", 2419200},
        {"three-months", 7257600}, {"one-year", 31536000}};
    for (const auto& [name, seconds] : expiries) {
        const time_t at = StringToTime(header->GetValue("x-ovrin-expires-" + name, 0));
        EXPECT_GE(at, before + seconds) << name;
        EXPECT_LE(at, after + seconds) << name;
    }
    EXPECT_EQ(header->GetValue("x-ovrin-expires-never", 0), "2037-12-31 23:59:59");
    EXPECT_EQ(header->GetValue("x-ovrin-mail-directory", 0), dir / "mail");
    EXPECT_EQ(header->GetValue("x-ovrin-user-full-name", 0), "Joe Bloggs");
    EXPECT_EQ(header->GetValue("x-ovrin-user-team", 0), "blue");
    // Added afterwards, as the spool task does for a message to be trained.
    message->AddHeaderValue("x-ovrin-training-mailbox", "lists");
    EXPECT_EQ(header->GetValue("x-ovrin-training-mailbox", 0), "lists");
}

TEST_F(MessageProcessing, HeaderPassThenFilePassFilesTheMessageUnderItsId) {
    WriteRules(Rule({.description = "figures", .matches = RegexMatch("subject", "any", {"quarterly .*"}),
                     .actions = DispatchTo("lists")}));
    auto message = Downloaded();
    message->CreateHeaderEvent();
    EXPECT_FALSE(message->HeaderProcessed());
    message->Process();
    EXPECT_TRUE(message->HeaderProcessed());
    EXPECT_EQ(message->GetResult(), "lists");
    message->ReleaseHeaderEvent();
    message->AttachMessageFile(rawPath);
    message->Process();
    EXPECT_EQ(Files("lists"), std::vector<std::string>{message->GetMessageId() + ".msg"});
    EXPECT_FALSE(fs::exists(rawPath));
    EXPECT_EQ(ReadWholeFile(dir / ("mail/joe/lists/" + message->GetMessageId() + ".msg")), kHeader + "body\r\n");
    EXPECT_EQ(DispatchedMessages(), 1u);
    EXPECT_THROW(message->Process(), CMessageException);  // finished
}

TEST_F(MessageProcessing, AContentsAnswerDispatchesAgainWithTheFile) {
    // Asks for the whole message while only the header is known; then the catch-all decides.
    WriteRules(Rule({.description = "needs body",
                     .matches = PythonMatch("result = 'no' if 'x-ovrin-message-filename' in headers else 'match'"),
                     .actions = DispatchTo("<contents>")}) +
               Rule({.description = "all", .matches = AnyMatch(), .actions = DispatchTo("mail")}));
    auto message = Downloaded();
    message->Process();
    EXPECT_EQ(message->GetResult(), "<contents>");
    message->AttachMessageFile(rawPath);
    message->Process();
    EXPECT_EQ(Files("mail").size(), 1u);
    EXPECT_EQ(DispatchedMessages(), 2u);
}

TEST_F(MessageProcessing, ASpooledMessageIsDispatchedOnceWithItsFile) {
    WriteRules(Rule({.description = "file known",
                     .matches = PythonMatch("result = 'match' if 'x-ovrin-message-filename' in headers else 'no'"),
                     .actions = DispatchTo("lists")}));
    auto message = Downloaded();
    message->AttachMessageFile(rawPath);
    message->SkipFirstPass();
    EXPECT_EQ(message->GetResult(), "<contents>");
    message->Process();
    EXPECT_EQ(Files("lists").size(), 1u);
    EXPECT_EQ(DispatchedMessages(), 1u);
}

TEST_F(MessageProcessing, DeleteAfterTheFilePassRemovesTheFile) {
    WriteRules(Rule({.description = "drop", .matches = AnyMatch(), .actions = DispatchTo("<delete>")}));
    auto message = Downloaded();
    message->Process();
    EXPECT_EQ(message->GetResult(), "<delete>");  // the POP3 client would not download it at all
    message->AttachMessageFile(rawPath);
    message->Process();
    EXPECT_FALSE(fs::exists(rawPath));
    for (const char* mailbox : {"mail", "spam", "lists", ".raw"})
        EXPECT_TRUE(Files(mailbox).empty()) << mailbox;
}

TEST_F(MessageProcessing, AMessageWithoutAUsableTargetGoesToSpamWithAnErrorNamingItsFile) {
    struct Case {
        const char* what;
        std::string rules;  // empty: no ruleset.xml, so the ruleset cannot be loaded
        std::string training;
        std::string mailbox;  // where the file ends, "" when it stays in .raw
        std::string error;    // the ERROR line's text after the file name
    };
    const std::string trainable = "<rule description=\"t\" enabled=\"true\" trainable=\"true\"><actions>" +
                                  DispatchTo("mail") + "</actions></rule>";
    const Case cases[] = {
        {"mistyped mailbox", Rule({"typo", AnyMatch(), DispatchTo("archive")}), "", "spam",
         " to it's target mailbox at "},
        {"no result", Rule({"silent", AnyMatch(), PythonAction("x = 1")}), "", "spam", " to it's target mailbox at "},
        {"no ruleset", "", "", "spam", " failed, the message is moved to spam: "},
        {"failed training", trainable, "lists", "lists", " failed, the message is moved to lists: "},
        {"no spam mailbox", "", "", "", " to the spam mailbox at "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RuleSetPool().Clear();  // the last case's ruleset writes itself back first
        fs::remove(dir / "mail/joe/ruleset.xml");
        if (!c.rules.empty())
            WriteRules(c.rules);
        if (c.mailbox.empty())
            fs::remove_all(dir / "mail/joe/spam");
        auto message = Downloaded();
        message->AttachMessageFile(rawPath);
        message->SkipFirstPass();
        if (!c.training.empty())
            message->AddHeaderValue("x-ovrin-training-mailbox", c.training);
        LogCapture log;
        EXPECT_NO_THROW(message->Process());
        EXPECT_EQ(fs::exists(rawPath), c.mailbox.empty());
        if (!c.mailbox.empty()) {
            EXPECT_TRUE(fs::exists(dir / ("mail/joe/" + c.mailbox + "/" + message->GetMessageFileName())));
        }
        std::vector<std::string> errors;
        for (const std::string& line : log.LinesWith(rawPath))
            if (line.find(" ERROR CPOP3ClientMessage::") != std::string::npos)
                errors.push_back(line);
        // The cause, and when spam fails too, that failure.
        ASSERT_EQ(errors.size(), c.mailbox.empty() ? 2u : 1u);
        EXPECT_NE(errors.back().find(rawPath + c.error), std::string::npos) << errors.back();
    }
}

TEST_F(MessageProcessing, AFailedHeaderPassEndsWithItsEventAndSaysWhy) {
    // No ruleset.xml: the ruleset cannot be loaded.
    auto message = Downloaded();
    message->CreateHeaderEvent();
    LogCapture log;
    EXPECT_THROW(message->Process(), CMessageException);
    EXPECT_TRUE(message->HeaderProcessed());
    EXPECT_NE(message->HeaderFailure().find("ruleset.xml"), std::string::npos) << message->HeaderFailure();
    EXPECT_EQ(log.LinesWith("ERROR CPOP3ClientMessage::Process(): ").size(), 1u);
    EXPECT_TRUE(fs::exists(rawPath));
}

TEST_F(MessageProcessing, ARulesetHeldByAnEditorSendsTheHeaderPassBackAndTheFilePassToTheSpool) {
    WriteRules(Rule({.description = "all", .matches = PythonMatch("result = 'match'"), .actions = DispatchTo("lists")}));
    HeldElsewhere editor(RuleSetPool(), "joe");
    LogCapture log;
    // The header pass fails, so that the session leaves the message on the server for later.
    auto collected = Downloaded();
    collected->CreateHeaderEvent();
    EXPECT_THROW(collected->Process(), CPOP3ClientMessage::CRuleSetBusyException);
    EXPECT_NE(collected->HeaderFailure().find("locked by an editor"), std::string::npos);
    // The file pass hands its file to the spool, where its training entry follows it.
    auto spooled = Downloaded();
    spooled->AttachMessageFile(rawPath);
    spooled->SkipFirstPass();
    std::string spoolName;
    spooled->SetReturnedToSpool([&](const std::string& name) { spoolName = name; });
    spooled->Process();
    editor.Release();
    EXPECT_FALSE(fs::exists(rawPath));
    EXPECT_EQ(Files(".spool"), std::vector<std::string>{spoolName});
    EXPECT_TRUE(Files("spam").empty());
    EXPECT_TRUE(Files("lists").empty());
    EXPECT_EQ(log.LinesWith("waits in the spool as").size(), 1u);
    EXPECT_TRUE(log.LinesWith("ERROR CPOP3ClientMessage::Dispatch()").empty());
}

TEST_F(MessageProcessing, ABrokenHeaderFailsTheParse) {
    auto message = Downloaded("\tSubject: folded first\r\n\r\n");
    LogCapture log;
    EXPECT_THROW(message->ParseMessageHeader(), CMessageException);
    EXPECT_THROW(message->AddHeaderValue("x-ovrin-training-mailbox", "mail"), CMessageException);
}

namespace {

// The race the file pass must survive: the header pass is still listed on its worker when the
// session pushes the file pass there. A single thread, started only once both are listed.
TEST_F(MessageProcessing, TheFilePassIsNeverRefusedWhileTheHeaderPassIsStillListed) {
    WriteRules(Rule({.description = "figures", .matches = RegexMatch("subject", "any", {"quarterly .*"}),
                     .actions = DispatchTo("lists")}));
    CWorkerEnvironment environment;
    environment.configValue = [](const std::string& name) {
        if (name == "worker-threads-per-pool")
            return std::string("1");
        return Config().GetValue(name);
    };
    CSequentialWorkerPool pool(environment);
    auto message = Downloaded();
    message->CreateHeaderEvent();
    LogCapture log;
    pool.PushWorkUnit(message, false);
    message->AttachMessageFile(rawPath);
    pool.PushWorkUnit(CPOP3ClientMessage::FilePass(message), false);
    EXPECT_EQ(pool.GetThread(0)->GetUnitCount(), 2u);
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return pool.GetThread(0)->GetUnitCount() == 0; }));
    pool.Stop();
    EXPECT_EQ(Files("lists"), std::vector<std::string>{message->GetMessageId() + ".msg"});
    EXPECT_FALSE(fs::exists(rawPath));
    EXPECT_TRUE(log.LinesWith("duplicate").empty());
}

}  // namespace
