// The bundled demo: a complete configuration, users whose files load the way the pools load
// them, placeholders the server never sees, and the program running on a copy of it.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/file.h"
#include "common/password_hash.h"
#include "common/text.h"
#include "common/xml_document.h"
#include "server/program/instances.h"
#include "server/core/mail_store.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/program_run.h"
#include "tests/support/server_home.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::DemoDirectory;

namespace {

const std::string kDemoStore = DemoDirectory() + "/mail";

}  // namespace

TEST(Demo, ConfigurationSetsEveryParameter) {
    CConfig config;
    config.LoadFromXml(DemoDirectory() + "/config.xml");
    for (const char* name : {"mail-directory", "worker-threads-per-pool", "pop3-address", "pop3-port",
                             "mail-interval-sec", "spool-interval-sec", "flush-interval-sec",
                             "incoming-connection-timeout-sec", "outgoing-connection-timeout-sec",
                             "pop3-connection-attempt-timeout-sec", "pop3-messages-per-session",
                             "pop3-messages-per-sync", "parallel-worker-thread-work-ms",
                             "parallel-worker-thread-sleep-ms", "pop3-auth-failure-delay-ms"}) {
        EXPECT_TRUE(config.HasValue(name)) << name;
    }
    EXPECT_EQ(config.GetValue("pop3-address"), "127.0.0.1");
    EXPECT_GE(AtoI(config.GetValue("pop3-port")), 1024);
    EXPECT_EQ(config.GetValue("mail-directory"), "mail");
}

TEST(Demo, UsersAndTheTemplateLoadAsThePoolsLoadThem) {
    Config().SetValue("mail-directory", kDemoStore);
    for (const char* user : {".template", "demo"}) {
        // Read as the ruleset pool reads it, but never written back into the source tree.
        CXMLDocument ruleset(UserPath(user, "ruleset.xml"));
        ruleset.Validate(UserPath(user, "ruleset.xsd"));
        CXPathContext rules(ruleset);
        EXPECT_GE(rules.Eval("/ruleset/rules/rule/actions/action")->GetNodeCount(), 1) << user;
        CUserXML document(user);
        CXPathContext context(document);
        EXPECT_NE(context.Eval("/user/pop3-server/authentication")->GetNodePtr(), nullptr) << user;
    }
    CUserXML demo("demo");
    CXPathContext context(demo);
    auto read = [&](const char* attribute) {
        return context.Eval("/user/pop3-server/authentication/@%s", attribute)->GetText();
    };
    EXPECT_EQ(read("handler"), "hash");
    EXPECT_EQ(read("method"), "crypt");
    EXPECT_TRUE(CheckCryptHash("demo", read("hash")));  // the README's password
    Config().DelValue("mail-directory");
}

TEST(Demo, TheMessageDirectoriesHoldSampleMessagesOnly) {
    // The placeholders that keep empty directories in git are directories themselves, so no
    // listing of files (the spool task takes every file of .spool) ever returns them.
    int directories = 0;
    for (const char* user : {".template", "demo"}) {
        CDirInfoList dirs = CFile::EnumerateDirs(kDemoStore + "/" + user, "*");
        for (const CDirInfo& dir : *dirs) {
            if (dir.name == "." || dir.name == "..")
                continue;
            ++directories;
            // Sample messages only: the same listing with and without the message pattern.
            EXPECT_EQ(CFile::EnumerateFiles(dir.path, "*")->size(), CFile::EnumerateFiles(dir.path, "*.msg")->size())
                << dir.path;
        }
        for (const char* required : {".raw", ".spool", "mail", "spam"})
            EXPECT_TRUE(std::filesystem::is_directory(kDemoStore + "/" + user + "/" + required)) << user << required;
    }
    EXPECT_GE(directories, 8);
    EXPECT_FALSE(IsUserName(".template"));
    EXPECT_TRUE(IsUserName("demo"));
}

TEST(Demo, TheProgramRunsOnACopyOfTheDemo) {
    OvrinTest::TempDir copy;
    std::filesystem::copy(DemoDirectory(), copy.Path(), std::filesystem::copy_options::recursive);
    OvrinTest::OvrinProcess process({}, copy.Path());
    EXPECT_TRUE(process.WaitForLog("main(): Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54 started"))
        << process.LogText();
    EXPECT_EQ(process.Command("noop"), "ok");
    EXPECT_EQ(process.Command("get config version"), "ok 1.4, built Sep 13 2005 13:05:54");
    EXPECT_EQ(process.Command("lock ruleset demo"), "ok");
    EXPECT_EQ(process.Command("unlock ruleset demo"), "ok");
    // As the README shows: user "demo", or "demo/lists", password "demo", on port 11110.
    OvrinTest::ProgramResult client = OvrinTest::RunProgram(
        {"python3", OvrinTest::POP3ClientScript(), "11110", "user demo", "pass demo", "stat", "quit",
         "@2 user demo/lists", "@2 pass demo", "@2 list", "@2 quit"},
        60);
    EXPECT_EQ(client.exitCode, 0) << client.output;
    EXPECT_NE(client.output.find("> stat\n2 "), std::string::npos) << client.output;
    EXPECT_NE(client.output.find("+OK 1 message(s)"), std::string::npos) << client.output;
    EXPECT_EQ(process.Command("stop"), "ok");
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_TRUE(process.LogLinesWith(" ERROR ").empty()) << process.LogText();
}
