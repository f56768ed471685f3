// The POP3 service of the real ovrin, read by real clients: Python's poplib (scripted by
// tests/support/pop3_client.py), curl and fetchmail, each on a free port of its own, plain and
// over TLS with certificates of a throw-away CA.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <unistd.h>
#include <iostream>

#include "common/password_hash.h"
#include "common/text.h"
#include "tests/support/program_run.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"
#include "tests/support/wait.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

constexpr int kClientSeconds = 60;

// A server with the user "ann" (password "secret") whose mailboxes hold the given messages,
// oldest first, as (mailbox, file name, contents).
class POP3Server {
public:
    // With a resolver address, the server runs in a mount namespace of its own whose
    // /etc/resolv.conf names that resolver alone.
    explicit POP3Server(const std::vector<std::tuple<std::string, std::string, std::string>>& messages,
                        const std::map<std::string, std::string>& params = {}, const std::string& resolver = "") {
        home.AddUser("ann");
        home.WriteFile("mail/ann/user.xml",
                       "<user><params/><pop3-server><authentication handler=\"plaintext\" password=\"secret\"/>"
                       "</pop3-server><pop3-clients/></user>\n");
        fs::create_directory(home.UserPath("ann", "work"));
        int age = static_cast<int>(messages.size()) * 10;
        for (const auto& [mailbox, name, contents] : messages) {
            const std::string path = home.UserPath("ann", mailbox + "/" + name);
            home.WriteFile("mail/ann/" + mailbox + "/" + name, contents);
            fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
            age -= 10;
        }
        // Failed logins wait a little only, so that the tests that make them stay quick.
        home.SetParam("pop3-auth-failure-delay-ms", "50");
        for (const auto& [name, value] : params)
            home.SetParam(name, value);
        if (resolver.empty()) {
            process = StartServer(home);
            return;
        }
        process = StartServerWithResolvConf(home, "nameserver " + resolver + "\n");
    }
    ~POP3Server() {
        if (process)
            StopServer(*process);
    }

    // The poplib client's transcript of the steps; TLS trusts the CA, when given.
    std::string Client(const std::vector<std::string>& steps, const TestCA* ca = nullptr) {
        std::vector<std::string> arguments{"python3", POP3ClientScript(), Port() + ":" + TLSPort()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        std::map<std::string, std::string> environment;
        if (ca)
            environment["OVRIN_TEST_CA"] = ca->CertificateFile();
        ProgramResult result = RunProgram(arguments, kClientSeconds, environment);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    // Another user with the authentication element and a message in "mail".
    void AddUser(const std::string& user, const std::string& authentication) {
        home.AddUser(user);
        home.WriteFile("mail/" + user + "/user.xml", "<user><params/><pop3-server>" + authentication +
                                                         "</pop3-server><pop3-clients/></user>\n");
        home.WriteFile("mail/" + user + "/mail/m.msg", "Subject: " + user + "\r\n\r\nhello\r\n");
    }
    // A run of tests/support/pop3_logins.py; its output.
    std::string Logins(const std::vector<std::string>& arguments) {
        std::vector<std::string> all{"python3", std::string(OVRIN_SOURCE_DIR) + "/tests/support/pop3_logins.py",
                                     arguments[0], Port()};
        all.insert(all.end(), arguments.begin() + 1, arguments.end());
        ProgramResult result = RunProgram(all, 240);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    std::string Port() const { return std::to_string(home.POP3Port()); }
    std::string TLSPort() const { return home.Param("pop3s-port"); }
    bool Exists(const std::string& mailboxFile) const { return fs::exists(home.UserPath("ann", mailboxFile)); }

    ServerHome home;
    std::unique_ptr<OvrinProcess> process;
};

// A certificate of the CA for 127.0.0.1 and localhost, a free port of implicit TLS, and where
// plain logins are accepted.
std::map<std::string, std::string> TLSParams(TestCA& ca, const std::string& plaintextAuth) {
    const TestCA::Issued issued = ca.Issue("DNS:localhost,IP:127.0.0.1");
    return {{"tls-certificate-file", issued.certificate}, {"tls-key-file", issued.key},
            {"pop3s-address", "127.0.0.1"}, {"pop3s-port", std::to_string(FreePort())},
            {"pop3-plaintext-auth", plaintextAuth}};
}

// fetchmail for the user ann, in a home of its own, polling one port; what it delivers is
// appended to one file.
class Fetchmail {
public:
    // options: the poll entry's last line, before its mda.
    Fetchmail(const std::string& host, const std::string& port, const std::string& options) {
        std::ofstream out(rc);
        out << "poll " << host << " protocol pop3 port " << port << " timeout 30\n"
            << "  user ann password secret is tester here\n"
            << "  " << options << " mda \"/bin/sh -c 'cat >> " << Delivered() << "'\"\n";
        out.close();
        fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write);
    }
    ProgramResult Run(const std::vector<std::string>& flags = {}) {
        std::vector<std::string> arguments{"fetchmail", "--nosyslog", "--nodetach", "-f", rc, "--pidfile", home / "pid"};
        arguments.insert(arguments.end(), flags.begin(), flags.end());
        return RunProgram(arguments, kClientSeconds, {{"HOME", home.Path()}, {"FETCHMAILHOME", home.Path()}});
    }
    std::string Delivered() const { return home / "delivered"; }

private:
    TempDir home;
    const std::string rc = home / "fetchmailrc";
};

const std::string kGreeting = "greeting +OK Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54\n";
const std::string kLogin = "> user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                           "> pass secret\n+OK Mailbox ready\n";

}  // namespace

TEST(POP3ServerEndToEnd, PoplibReadsListsAndDeletesWithEveryCommand) {
    POP3Server server({{"mail", "first.msg", "Subject: one\n\nbody one\n"},
                       {"mail", "second.msg", "Subject: two\r\n\r\nline 1\r\nline 2\r\nline 3\r\n"},
                       {"mail", "third.msg", "Subject: three\n\nx\n"}});
    EXPECT_EQ(server.Client({"user ann", "pass secret", "stat", "list", "list 002", "top 2 1", "retr 1", "dele 2",
                             "stat", "list", "last", "retr 2", "rset", "last", "list 2", "noop", "retr 0",
                             "retr 01x", "retr 123456789", "top 1 x", "raw STAT now", "raw DELE",
                             "raw LIST 1 2", "raw TOP 1 2 3", "raw HELO", "dele 3", "quit"}),
              kGreeting + kLogin +
                  // Sizes as sent: the LF-only files are longer on the wire.
                  "> stat\n3 87\n"
                  "> list\n+OK 3 message(s), 87 octet(s)\n| 1 26\n| 2 40\n| 3 21\n"
                  "> list 002\n+OK 002 40\n"
                  "> top 2 1\n+OK Message header followed by the trailing CRLF and at most 1 body line(s)\n"
                  "| Subject: two\n| \n| line 1\n"
                  "> retr 1\n+OK 26 octet(s)\n| Subject: one\n| \n| body one\n"
                  "> dele 2\n+OK Message deleted\n"
                  "> stat\n2 47\n"
                  "> list\n+OK 2 message(s), 47 octet(s)\n| 1 26\n| 3 21\n"
                  "> last\n+OK 2\n"
                  "> retr 2\nERR -ERR No such message\n"
                  "> rset\n+OK Mailbox reset\n"
                  "> last\n+OK 0\n"
                  "> list 2\n+OK 2 40\n"
                  "> noop\n+OK\n"
                  "> retr 0\nERR -ERR No such message\n"
                  "> retr 01x\nERR -ERR Malformed message ID\n"
                  "> retr 123456789\nERR -ERR Malformed message ID\n"
                  "> top 1 x\nERR -ERR Malformed line count\n"
                  "> raw STAT now\nERR -ERR Argument is unexpected\n"
                  "> raw DELE\nERR -ERR Argument required\n"
                  "> raw LIST 1 2\nERR -ERR Single argument required\n"
                  "> raw TOP 1 2 3\nERR -ERR At most two arguments required\n"
                  "> raw HELO\nERR -ERR Will only accept STAT, LIST, UIDL, TOP, RETR, DELE, RSET, LAST, NOOP and "
                  "CAPA in transaction state\n"
                  "> dele 3\n+OK Message deleted\n"
                  "> quit\n+OK Closing connection\n");
    EXPECT_TRUE(server.Exists("mail/first.msg"));
    EXPECT_TRUE(server.Exists("mail/second.msg"));
    EXPECT_FALSE(server.Exists("mail/third.msg"));  // deleted after QUIT
}

TEST(POP3ServerEndToEnd, LoginSelectsUserAndMailboxAndAHeldMailboxIsRefusedUntilQuit) {
    POP3Server server({{"mail", "m.msg", "A: 1\n\nm\n"}, {"work", "w.msg", "A: 2\n\nw\n"}});
    const std::string output = server.Client(
        {"user bob/", "user bob/a/b", "user " + std::string(33, 'a'), "user ann", "user ann", "pass secret",
         "user ann", "pass wrong", "user ann/nothing", "pass secret", "raw STAT", "user ann/work", "pass secret",
         "stat", "@2 user ann/work", "@2 pass secret", "quit", "@2 user ann/work", "@2 pass secret", "@2 stat",
         "@2 quit"});
    EXPECT_EQ(output,
              kGreeting +
                  "> user bob/\nERR -ERR Malformed username\n"
                  "> user bob/a/b\nERR -ERR Malformed username\n"
                  "> user " + std::string(33, 'a') + "\nERR -ERR Malformed username\n"
                  "> user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                  "> user ann\nERR -ERR USER was unexpected\n"
                  "> pass secret\nERR -ERR PASS was unexpected\n"
                  "> user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                  "> pass wrong\nERR -ERR [AUTH] Authentication failed\n"
                  "> user ann/nothing\n+OK Username \"ann\" accepted, accessing \"nothing\" mailbox\n"
                  "> pass secret\nERR -ERR [IN-USE] Unable to lock mailbox\n"
                  "> raw STAT\nERR -ERR Will only accept USER, PASS, AUTH and CAPA in authorization state\n"
                  "> user ann/work\n+OK Username \"ann\" accepted, accessing \"work\" mailbox\n"
                  "> pass secret\n+OK Mailbox ready\n"
                  "> stat\n1 11\n" + kGreeting +
                  "> @2 user ann/work\n+OK Username \"ann\" accepted, accessing \"work\" mailbox\n"
                  "> @2 pass secret\nERR -ERR [IN-USE] Unable to lock mailbox\n"
                  "> quit\n+OK Closing connection\n"
                  "> @2 user ann/work\n+OK Username \"ann\" accepted, accessing \"work\" mailbox\n"
                  "> @2 pass secret\n+OK Mailbox ready\n"
                  "> @2 stat\n1 11\n"
                  "> @2 quit\n+OK Closing connection\n");
    EXPECT_TRUE(server.process->WaitForLog("authentication failed for user ann from"));
    EXPECT_TRUE(server.process->WaitForLog("user ann authenticated from 127.0.0.1 but the mailbox was busy"));
    EXPECT_FALSE(server.Exists("work/.lock"));
}

TEST(POP3ServerEndToEnd, DeletionsAreKeptWhenTheConnectionDropsWithoutQuit) {
    POP3Server server({{"mail", "keep.msg", "A: 1\n\nkeep\n"}});
    EXPECT_EQ(server.Client({"user ann", "pass secret", "dele 1", "stat", "drop"}),
              kGreeting + kLogin + "> dele 1\n+OK Message deleted\n> stat\n0 0\n> drop\ndropped\n");
    // The session ends when the server sees the connection go.
    ASSERT_TRUE(server.process->WaitForLog("user ann disconnected")) << server.process->LogText();
    EXPECT_EQ(server.Client({"user ann", "pass secret", "stat", "quit"}),
              kGreeting + kLogin + "> stat\n1 14\n> quit\n+OK Closing connection\n");
    EXPECT_TRUE(server.Exists("mail/keep.msg"));
}

TEST(POP3ServerEndToEnd, MessagesAreSentStuffedWithCRLFAndTopAddsTheMissingBlankLine) {
    using namespace std::string_literals;
    POP3Server server({{"mail", "lf.msg", "A: 1\nB: 2\n\n.\n..two\nend"},
                       {"mail", "header-only.msg", "A: 1\nB: 2\n"},
                       {"mail", "nul.msg", "A: \0\n\nx\0y\n"s}});
    EXPECT_EQ(server.Client({"user ann", "pass secret", "wire RETR 1", "wire TOP 1 1", "wire TOP 2 0",
                             "wire RETR 3", "quit"}),
              kGreeting + kLogin +
                  "> wire RETR 1\nb'+OK 29 octet(s)\\r\\nA: 1\\r\\nB: 2\\r\\n\\r\\n..\\r\\n...two\\r\\nend\\r\\n.\\r\\n'\n"
                  "> wire TOP 1 1\nb'+OK Message header followed by the trailing CRLF and at most 1 body line(s)"
                  "\\r\\nA: 1\\r\\nB: 2\\r\\n\\r\\n..\\r\\n.\\r\\n'\n"
                  "> wire TOP 2 0\nb'+OK Message header up to and including the trailing CRLF\\r\\nA: 1\\r\\nB: 2"
                  "\\r\\n\\r\\n.\\r\\n'\n"
                  "> wire RETR 3\nb'+OK 13 octet(s)\\r\\nA: \\x00\\r\\n\\r\\nx\\x00y\\r\\n.\\r\\n'\n"
                  "> quit\n+OK Closing connection\n");
}

TEST(POP3ServerEndToEnd, CurlListsAndRetrieves) {
    POP3Server server({{"mail", "a.msg", "Subject: a\n\nfirst\n"}, {"mail", "b.msg", "Subject: b\n\n.dot\n"}});
    const std::string url = "pop3://127.0.0.1:" + server.Port() + "/";
    ProgramResult list = RunProgram({"curl", "-sS", "--max-time", "30", "-u", "ann:secret", url}, kClientSeconds);
    EXPECT_EQ(list.exitCode, 0) << list.output;
    EXPECT_EQ(list.output, "1 21\r\n2 20\r\n");
    ProgramResult retrieve =
        RunProgram({"curl", "-sS", "--max-time", "30", "-u", "ann:secret", url + "2"}, kClientSeconds);
    EXPECT_EQ(retrieve.exitCode, 0) << retrieve.output;
    EXPECT_EQ(retrieve.output, "Subject: b\r\n\r\n.dot\r\n");
}

TEST(POP3ServerEndToEnd, FetchmailRetrievesAndDeletesEverythingAndASecondRunFindsNothing) {
    POP3Server server({{"mail", "1.msg", "From: a@example.org\nSubject: one\n\nfirst body\n"},
                       {"mail", "2.msg", "From: b@example.org\nSubject: two\n\nsecond body\n"}});
    Fetchmail fetchmail("127.0.0.1", server.Port(), "sslproto '' no keep fetchall");
    auto run = [&] { return fetchmail.Run(); };
    const std::string delivered = fetchmail.Delivered();
    ProgramResult first = run();
    EXPECT_EQ(first.exitCode, 0) << first.output;
    const std::string text = ReadWholeFile(delivered);
    EXPECT_NE(text.find("Subject: one"), std::string::npos) << text;
    EXPECT_NE(text.find("second body"), std::string::npos) << text;
    // The session deletes after its last reply, and fetchmail may be gone before that.
    EXPECT_TRUE(WaitUntil([&] { return !server.Exists("mail/1.msg") && !server.Exists("mail/2.msg"); }));
    ASSERT_TRUE(WaitUntil([&] { return !server.Exists("mail/.lock"); }));
    ProgramResult second = run();
    EXPECT_EQ(second.exitCode, 1) << second.output;  // fetchmail's "no mail"
    EXPECT_EQ(ReadWholeFile(delivered), text);
}

TEST(POP3ServerEndToEnd, AListenerPortInUseEndsStartUpWithTheChainOfErrors) {
    ServerHome home;
    OvrinProcess first({home.ConfigPath()});
    ASSERT_TRUE(first.WaitForLog(kStartedLine)) << first.LogText();
    OvrinProcess second({home.ConfigPath()});
    EXPECT_EQ(second.WaitForExit(), 0);
    const std::string log = second.LogText();
    EXPECT_NE(log.find("ERROR CListenerThreadBase::CListenerThreadBase('127.0.0.1', '"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR StartThreads(): "), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR main(): "), std::string::npos) << log;
    EXPECT_EQ(log.find("started"), std::string::npos) << log;
    StopServer(first);
}

TEST(POP3ServerEndToEnd, ConnectionsResetAtOnceAreDroppedAloneAndTheNextClientIsServed) {
    TestCA ca;
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}}, TLSParams(ca, "always"));
    // Reset before the listener has handed them on, on either port.
    const std::string resets = "import socket, struct, sys\n"
                               "for port in sys.argv[1:]:\n"
                               "    for _ in range(3):\n"
                               "        s = socket.create_connection(('127.0.0.1', int(port)))\n"
                               "        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))\n"
                               "        s.close()\n";
    EXPECT_EQ(RunProgram({"python3", "-c", resets, server.Port(), server.TLSPort()}, kClientSeconds).exitCode, 0);
    EXPECT_EQ(server.Client({"user ann", "pass secret", "stat", "quit", "@s2 stat"}, &ca),
              kGreeting + kLogin + "> stat\n1 11\n> quit\n+OK Closing connection\n" + kGreeting +
                  "> @s2 stat\nERR -ERR Will only accept USER, PASS, AUTH and CAPA in authorization state\n");
    EXPECT_TRUE(server.process->LogLinesWith("resetting socket factory").empty()) << server.process->LogText();
}

TEST(POP3ServerEndToEnd, AbusiveClientsAreRefusedOrDroppedWhileAWellBehavedOneIsServed) {
    // A short inactivity time-out, so that the silent clients go within the test.
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}}, {{"incoming-connection-timeout-sec", "3"}});
    ProgramResult result = RunProgram(
        {"python3", std::string(OVRIN_SOURCE_DIR) + "/tests/support/pop3_abuse.py", server.Port(), "ann", "secret"},
        180);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("malformed 1000\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("flood cut\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("silent dropped 200\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("answers "), std::string::npos) << result.output;
    EXPECT_FALSE(server.process->LogLinesWith("Line too long, may not exceed 8192 bytes").empty());
    EXPECT_FALSE(server.process->LogLinesWith("Inactivity timeout 3 seconds").empty());
    // The peak resident size, for the record (bounded memory is judged by eye, not asserted).
    std::ifstream status("/proc/" + std::to_string(server.process->Pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM", 0) == 0)
            std::cout << "ovrin " << line << std::endl;
    }
}

TEST(POP3ServerEndToEnd, PoplibSecuresItsSessionWithSTLSOrOnTheTLSPortAndReadsCapaAndUniqueIds) {
    TestCA ca;
    POP3Server server({{"mail", "first.msg", "Subject: one\n\nbody one\n"},
                       {"mail", "second.msg", "Subject: two\n\nbody two\n"}},
                      TLSParams(ca, "tls-only"));
    const std::string implementation = "| IMPLEMENTATION Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54\n";
    const std::string common = "| TOP\n| UIDL\n| RESP-CODES\n| AUTH-RESP-CODE\n| PIPELINING\n";
    EXPECT_EQ(server.Client({"capa", "user ann", "raw AUTH PLAIN AGFubgBzZWNyZXQ=", "stls", "capa", "raw STLS", "user ann", "pass secret", "uidl",
                             "uidl 2", "dele 1", "uidl", "raw UIDL 1", "capa", "raw STLS", "quit", "@s2 capa",
                             "@s2 user ann", "@s2 pass secret", "@s2 uidl", "@s2 retr 1", "@s2 quit"},
                            &ca),
              kGreeting +
                  // Plain: no USER offered, and none taken.
                  "> capa\n+OK Capability list follows\n" + common + "| STLS\n" + implementation +
                  "> user ann\nERR -ERR USER and PASS are only accepted over TLS, use STLS first\n"
                  "> raw AUTH PLAIN AGFubgBzZWNyZXQ=\nERR -ERR Authentication is only accepted over TLS, use STLS "
                  "first\n"
                  "> stls\n+OK Begin TLS negotiation\n"
                  "> capa\n+OK Capability list follows\n| USER\n| SASL PLAIN\n" + common + implementation +
                  "> raw STLS\nERR -ERR Command not permitted when TLS active\n" + kLogin +
                  "> uidl\n+OK Unique-id listing follows\n| 1 first\n| 2 second\n"
                  "> uidl 2\n+OK 2 second\n"
                  "> dele 1\n+OK Message deleted\n"
                  "> uidl\n+OK Unique-id listing follows\n| 2 second\n"
                  "> raw UIDL 1\nERR -ERR No such message\n"
                  "> capa\n+OK Capability list follows\n| USER\n| SASL PLAIN\n" + common + implementation +
                  "> raw STLS\nERR -ERR Will only accept STAT, LIST, UIDL, TOP, RETR, DELE, RSET, LAST, NOOP and CAPA "
                  "in transaction state\n"
                  "> quit\n+OK Closing connection\n" + kGreeting +
                  // On the TLS port: secured from the start; the unique id outlives the number.
                  "> @s2 capa\n+OK Capability list follows\n| USER\n| SASL PLAIN\n" + common + implementation +
                  "> @s2 user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                  "> @s2 pass secret\n+OK Mailbox ready\n"
                  "> @s2 uidl\n+OK Unique-id listing follows\n| 1 second\n"
                  "> @s2 retr 1\n+OK 26 octet(s)\n| Subject: two\n| \n| body two\n"
                  "> @s2 quit\n+OK Closing connection\n");
    EXPECT_FALSE(server.Exists("mail/first.msg"));
    EXPECT_TRUE(server.process->LogLinesWith(" ERROR ").empty()) << server.process->LogText();
}

TEST(POP3ServerEndToEnd, CurlReadsOverSTLSAndOverPop3sAndAPlainLoginIsRefused) {
    TestCA ca;
    POP3Server server({{"mail", "a.msg", "Subject: a\n\nfirst\n"}}, TLSParams(ca, "tls-only"));
    const std::vector<std::string> curl = {"curl", "-sS", "--max-time", "30", "-u", "ann:secret"};
    auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), curl.begin(), curl.end());
        return RunProgram(arguments, kClientSeconds);
    };
    const std::string plain = "pop3://127.0.0.1:" + server.Port() + "/";
    ProgramResult stls = run({"--ssl-reqd", "--cacert", ca.CertificateFile(), plain + "1"});
    EXPECT_EQ(stls.exitCode, 0) << stls.output;
    EXPECT_EQ(stls.output, "Subject: a\r\n\r\nfirst\r\n");
    ProgramResult implicit = run({"--cacert", ca.CertificateFile(), "pop3s://localhost:" + server.TLSPort() + "/"});
    EXPECT_EQ(implicit.exitCode, 0) << implicit.output;
    EXPECT_EQ(implicit.output, "1 21\r\n");
    ProgramResult refused = run({plain});
    EXPECT_NE(refused.exitCode, 0) << refused.output;
    EXPECT_TRUE(server.process->LogLinesWith("logged in").size() == 2) << server.process->LogText();
}

TEST(POP3ServerEndToEnd, FetchmailOverTLSKeepingTheMailFetchesEachMessageOnce) {
    TestCA ca;
    POP3Server server({{"mail", "1.msg", "From: a@example.org\nSubject: one\n\nfirst body\n"},
                       {"mail", "2.msg", "From: b@example.org\nSubject: two\n\nsecond body\n"}},
                      TLSParams(ca, "tls-or-loopback"));
    Fetchmail fetchmail("localhost", server.TLSPort(), "");
    auto run = [&] {
        // The previous session lets go of the mailbox after its last reply.
        EXPECT_TRUE(WaitUntil([&] { return !server.Exists("mail/.lock"); }));
        return fetchmail.Run({"--ssl", "--sslcertck", "--sslcertfile", ca.CertificateFile(), "--keep", "--uidl"});
    };
    const std::string delivered = fetchmail.Delivered();
    auto count = [&](const std::string& text) {
        const std::string all = ReadWholeFile(delivered);
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    };
    ProgramResult first = run();
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(count("Subject: one"), 1u);
    EXPECT_EQ(count("Subject: two"), 1u);
    // A message that arrives later is the only one the next run takes.
    server.home.WriteFile("mail/ann/mail/3.msg", "From: c@example.org\nSubject: three\n\nthird body\n");
    ProgramResult second = run();
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(count("Subject: one"), 1u);
    EXPECT_EQ(count("Subject: three"), 1u);
    ProgramResult third = run();
    EXPECT_EQ(third.exitCode, 1) << third.output;  // fetchmail's "no mail"
    EXPECT_EQ(count("From: "), 3u);
    for (const char* name : {"mail/1.msg", "mail/2.msg", "mail/3.msg"})
        EXPECT_TRUE(server.Exists(name)) << name;
}

TEST(POP3ServerEndToEnd, TLSSettingsThatCannotWorkEndStartUpWithTheChainOfErrors) {
    TestCA ca;
    const TestCA::Issued issued = ca.Issue("DNS:localhost");
    const TestCA::Issued other = ca.Issue("DNS:localhost");
    struct Case {
        const char* name;
        std::map<std::string, std::string> params;
        std::vector<std::string> errors;  // fragments of ERROR lines, each found
    };
    const std::string pop3sPort = std::to_string(FreePort());
    const Case cases[] = {
        {"no certificate file",
         {{"tls-certificate-file", "/nonexistent/cert.pem"}, {"tls-key-file", issued.key}},
         {"ERROR CTLSContext::CreateServer('/nonexistent/cert.pem', '" + issued.key +
              "'): Unable to load the TLS certificate from '/nonexistent/cert.pem': ",
          "ERROR MakePOP3ServerTLSContext(): ", "ERROR StartThreads(): ", "ERROR main(): "}},
        {"the key of another certificate",
         {{"tls-certificate-file", issued.certificate}, {"tls-key-file", other.key}},
         {"ERROR StartThreads(): Unable to load the TLS key from '" + other.key + "': key values mismatch"}},
        {"a certificate without its key", {{"tls-certificate-file", issued.certificate}},
         {"ERROR StartThreads(): Unable to load the TLS key from '': "}},
        {"no port of implicit TLS",
         {{"tls-certificate-file", issued.certificate}, {"tls-key-file", issued.key}},
         {"ERROR StartThreads(): Value for name 'pop3s-address' is not found in the map"}},
        {"tls-only without a certificate", {{"pop3-plaintext-auth", "tls-only"}},
         {"ERROR StartThreads(): The configuration parameter pop3-plaintext-auth is 'tls-only', which needs "
          "tls-certificate-file and tls-key-file"}},
        {"an unknown policy", {{"pop3-plaintext-auth", "sometimes"}},
         {"ERROR POP3PlaintextAuth(): The configuration parameter pop3-plaintext-auth is 'sometimes', it must be "
          "always, tls-or-loopback or tls-only",
          "ERROR Startup(): "}},
        {"an unreadable CA file", {{"tls-ca-file", "/nonexistent/ca.pem"}},
         {"ERROR CTLSContext::CreateClient('/nonexistent/ca.pem'): Unable to load the CA certificates from "
          "'/nonexistent/ca.pem': ",
          "ERROR Startup(): "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHome home;
        for (const auto& [name, value] : c.params)
            home.SetParam(name, value);
        home.WriteConfig();
        OvrinProcess process({home.ConfigPath()});
        EXPECT_EQ(process.WaitForExit(), 0);
        for (const std::string& error : c.errors)
            EXPECT_EQ(process.LogLinesWith(error).size(), 1u) << error << "\n" << process.LogText();
        EXPECT_TRUE(process.LogLinesWith(kStartedLine).empty());
    }
}

TEST(POP3ServerEndToEnd, LoginsByEveryMethodAndHashAndWhatIsRefused) {
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}});
    server.AddUser("yes", "<authentication handler=\"hash\" method=\"crypt\" hash=\"" + Ovrin::CryptHash("two words") +
                              "\"/>");
    // SHA-1 of "1234" + "secret" + "1234", as older files hold it.
    server.AddUser("old", "<authentication handler=\"hash\" method=\"sha1\" salt=\"1234\" "
                          "hash=\"5cd40d143b80ff1acb086f6b8b9fc204650f3eb7\"/>");
    auto plain = [](const std::string& text) { return Ovrin::EncodeBASE64(text); };
    using namespace std::string_literals;
    const std::string ready = "+OK Mailbox ready", failed = "ERR -ERR [AUTH] Authentication failed";
    const struct {
        std::vector<std::pair<std::string, std::string>> steps;  // step, its reply as printed
        bool quits;                                               // logged in: QUIT follows
    } cases[] = {
        {{{"user yes", "+OK Username \"yes\" accepted, accessing \"mail\" mailbox"}, {"pass two words", ready}}, true},
        {{{"user old", "+OK Username \"old\" accepted, accessing \"mail\" mailbox"}, {"pass secret", ready}}, true},
        {{{"raw AUTH PLAIN " + plain("\0ann\0secret"s), ready}}, true},
        {{{"raw AUTH PLAIN", "+ "}, {"raw " + plain("ann\0ann/work\0secret"s), ready}}, true},
        {{{"raw AUTH PLAIN " + plain("bob\0ann\0secret"s),
           "ERR -ERR [AUTH] Authorization identity must be empty or the user"}},
         false},
        {{{"raw AUTH PLAIN", "+ "}, {"raw *", "ERR -ERR Authentication cancelled"}}, false},
        {{{"raw AUTH CRAM-MD5", "ERR -ERR Unsupported authentication mechanism"}}, false},
        {{{"raw AUTH PLAIN =", "ERR -ERR Malformed authentication data"}}, false},
        {{{"long AUTH", "+OK Supported mechanisms follow\n| PLAIN"}}, false},
        {{{"user ann", "+OK Username \"ann\" accepted, accessing \"mail\" mailbox"},
          {"pass " + std::string(257, 'p'), "ERR -ERR Malformed password"}},
         false},
        {{{"user ann", "+OK Username \"ann\" accepted, accessing \"mail\" mailbox"}, {"pass secret ", failed}}, false},
        {{{"user nobody", "+OK Username \"nobody\" accepted, accessing \"mail\" mailbox"}, {"pass secret", failed}},
         false},
        {{{"raw AUTH PLAIN " + plain("\0ann\0Secret"s), failed}}, false},
    };
    std::vector<std::string> steps;
    std::string expected;
    int connection = 0;
    for (const auto& c : cases) {
        const std::string at = "@" + std::to_string(++connection) + " ";
        expected += kGreeting;
        for (const auto& [step, reply] : c.steps) {
            steps.push_back(at + step);
            expected += "> " + at + step + "\n" + reply + "\n";
        }
        if (c.quits) {
            steps.push_back(at + "quit");
            expected += "> " + at + "quit\n+OK Closing connection\n";
        }
    }
    EXPECT_EQ(server.Client(steps), expected);
    // Every failure names the peer by its address; the secrets appear nowhere.
    const std::string log = server.process->LogText();
    EXPECT_EQ(server.process->LogLinesWith("authentication failed for user ann from 127.0.0.1").size(), 2u) << log;
    EXPECT_EQ(server.process->LogLinesWith("returning auth failure to 127.0.0.1").size(), 1u) << log;
    EXPECT_TRUE(server.process->LogLinesWith("mail/nobody").empty()) << log;  // an unknown user is no ERROR
    EXPECT_EQ(log.find("two words"), std::string::npos);
    EXPECT_EQ(log.find("Secret"), std::string::npos);
}

TEST(POP3ServerEndToEnd, ResponseCodesSayWhyAMailboxCannotBeHadOrEmptied) {
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}, {"mail", "b.msg", "A: 2\n\ny\n"}});
    const std::string released = server.home.Path() + "/released";
    auto client = std::async(std::launch::async, [&] {
        return server.Client({"user ann", "pass secret", "@2 user ann", "@2 pass secret", "dele 1", "dele 2",
                              "hold " + released, "quit", "@2 user ann", "@2 pass secret", "@2 stat", "@2 quit"});
    });
    ASSERT_TRUE(server.process->WaitForLog("but the mailbox was busy")) << server.process->LogText();
    // Gone before QUIT could delete it: only the other message is deleted, and the answer says so.
    fs::remove(server.home.UserPath("ann", "mail/a.msg"));
    WriteWholeFile(released, "");
    EXPECT_EQ(client.get(), kGreeting + kLogin + kGreeting +
                                "> @2 user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                                "> @2 pass secret\nERR -ERR [IN-USE] Unable to lock mailbox\n"
                                "> dele 1\n+OK Message deleted\n> dele 2\n+OK Message deleted\n"
                                "> hold " + released + "\nholding\nreleased\n"
                                "> quit\nERR -ERR [SYS/TEMP] Unable to delete message(s) 1, closing connection\n"
                                "> @2 user ann\n+OK Username \"ann\" accepted, accessing \"mail\" mailbox\n"
                                "> @2 pass secret\n+OK Mailbox ready\n> @2 stat\n0 0\n"
                                "> @2 quit\n+OK Closing connection\n");
    EXPECT_FALSE(server.Exists("mail/b.msg"));
}

TEST(POP3ServerEndToEnd, FailedLoginsWaitWithoutHoldingOthersAndThreeCloseTheConnection) {
    // The default delay: the guard at the scale it has in use.
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}}, {{"pop3-auth-failure-delay-ms", "2000"}});
    const std::string output = server.Logins({"guard", "ann", "secret", "2000"});
    EXPECT_NE(output.find("second served first yes\n"), std::string::npos) << output;
    EXPECT_NE(output.find("-ERR [AUTH] Authentication failed\n-ERR [AUTH] Authentication failed\n"
                          "-ERR [AUTH] Authentication failed\nclosed after three yes\n"),
              std::string::npos)
        << output;
    const size_t at = output.find("three failures waited ms ");
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_GE(std::stoi(output.substr(at + 25)), 3 * 2000) << output;
    EXPECT_EQ(server.process->LogLinesWith("3 failed logins from 127.0.0.1, closing the connection").size(), 1u);
}

TEST(POP3ServerEndToEnd, ALockedUserIsRefusedAsInUseWhileOthersAreServedOnTheSameThread) {
    // One worker thread: a login that waited on it would stop every other session.
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}}, {{"worker-threads-per-pool", "1"}});
    server.AddUser("bob", "<authentication handler=\"plaintext\" password=\"bobs\"/>");
    ASSERT_EQ(server.process->Command("lock user ann"), "ok");
    // ann's PASS is on its way before bob connects: the answer to USER has come, PASS went with it.
    const std::string sent = server.home.Path() + "/sent";
    const std::string annScript = "import socket, sys\n"
                                  "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=60)\n"
                                  "f = s.makefile('rb')\n"
                                  "f.readline()\n"
                                  "s.sendall(b'USER ann\\r\\nPASS secret\\r\\n')\n"
                                  "f.readline()\n"
                                  "open(sys.argv[2], 'w').close()\n"
                                  "print(f.readline().decode().strip())\n";
    auto ann = std::async(std::launch::async,
                          [&] { return RunProgram({"python3", "-c", annScript, server.Port(), sent}, 60).output; });
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(sent); }));
    const std::string bob = server.Client({"user bob", "pass bobs", "retr 1", "quit"});
    EXPECT_NE(bob.find("> retr 1\n+OK 23 octet(s)\n| Subject: bob\n| \n| hello\n> quit\n+OK Closing connection\n"),
              std::string::npos)
        << bob;
    EXPECT_NE(ann.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);  // still waiting for the user
    EXPECT_EQ(ann.get(), "-ERR [IN-USE] The user is busy, try again later\n");
    ASSERT_EQ(server.process->Command("unlock user ann"), "ok");
    EXPECT_NE(server.Client({"user ann", "pass secret", "quit"}).find(kLogin), std::string::npos);
}

TEST(POP3ServerEndToEnd, AClientBackRightAfterQuitIsLetInEvenAfterDeletingThousandsOfMessages) {
    POP3Server server({});
    for (int i = 0; i < 3000; ++i)
        server.home.WriteFile("mail/ann/mail/" + std::to_string(i) + ".msg", "A: 1\r\n\r\nx\r\n");
    const std::string output = server.Logins({"relogin", "ann", "secret", "200", "delete"});
    EXPECT_EQ(output, "quit answers +OK\nrefused 0\n");
    EXPECT_TRUE(fs::is_empty(server.home.UserPath("ann", "mail")));
}

TEST(POP3ServerEndToEnd, AResolverThatNeverAnswersIsNeverAskedAboutAClient) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a mount namespace of its own needs root";
    POP3Server server({{"mail", "a.msg", "A: 1\n\nx\n"}}, {}, "127.0.0.3");
    // 127.0.0.2 is in no hosts file: naming it would ask the silent resolver and wait for it.
    EXPECT_EQ(server.Logins({"unanswered", "ann", "secret", "127.0.0.3"}), "greeting +OK\nlogin +OK\nqueries 0\n");
    EXPECT_EQ(server.process->LogLinesWith("user ann logged in from 127.0.0.2").size(), 1u)
        << server.process->LogText();
}
