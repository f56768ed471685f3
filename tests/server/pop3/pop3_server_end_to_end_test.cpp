// The POP3 service of the real ovrin, read by real clients: Python's poplib (scripted by
// tests/support/pop3_client.py), curl and fetchmail, each on a free port of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/program_run.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/temp_dir.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

constexpr int kClientSeconds = 60;

// A server with the user "ann" (password "secret") whose mailboxes hold the given messages,
// oldest first, as (mailbox, file name, contents).
class POP3Server {
public:
    explicit POP3Server(const std::vector<std::tuple<std::string, std::string, std::string>>& messages,
                        const std::map<std::string, std::string>& params = {}) {
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
        for (const auto& [name, value] : params)
            home.SetParam(name, value);
        process = StartServer(home);
    }
    ~POP3Server() {
        if (process)
            StopServer(*process);
    }

    // The poplib client's transcript of the steps.
    std::string Client(const std::vector<std::string>& steps) {
        std::vector<std::string> arguments{"python3", POP3ClientScript(), Port()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        ProgramResult result = RunProgram(arguments, kClientSeconds);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    std::string Port() const { return std::to_string(home.POP3Port()); }
    bool Exists(const std::string& mailboxFile) const { return fs::exists(home.UserPath("ann", mailboxFile)); }

    ServerHome home;
    std::unique_ptr<OvrinProcess> process;
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
                  "> stat\n3 81\n"
                  "> list\n+OK 3 message(s), 81 octet(s)\n| 1 23\n| 2 40\n| 3 18\n"
                  "> list 002\n+OK 002 40\n"
                  "> top 2 1\n+OK Message header followed by the trailing CRLF and at most 1 body line(s)\n"
                  "| Subject: two\n| \n| line 1\n"
                  "> retr 1\n+OK 23 octet(s)\n| Subject: one\n| \n| body one\n"
                  "> dele 2\n+OK Message deleted\n"
                  "> stat\n2 41\n"
                  "> list\n+OK 2 message(s), 41 octet(s)\n| 1 23\n| 3 18\n"
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
                  "> raw HELO\nERR -ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in "
                  "transaction state\n"
                  "> dele 3\n+OK Message deleted\n"
                  "> quit\n+OK Closing connection\n");
    EXPECT_TRUE(server.Exists("mail/first.msg"));
    EXPECT_TRUE(server.Exists("mail/second.msg"));
    EXPECT_FALSE(server.Exists("mail/third.msg"));  // deleted after QUIT
}
