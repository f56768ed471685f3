// Logins by SASL: the messages and their place in the AUTH dialogue, then the real ovrin
// collecting from a real Dovecot whose oauth2 password database asks a test token service
// (HTTPS on loopback) about the bearer tokens that ovrin obtains and renews from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/xml_document.h"
#include "server/pop3/pop3_sasl.h"
#include "tests/server/rules/rules_fixture.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/test_ca.h"
#include "tests/support/token_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using namespace OvrinTest;
using Ovrin::CPOP3SASL;
using Ovrin::TPOP3Auth;
namespace fs = std::filesystem;

namespace {

TEST(POP3SASL, MessagesTheirPlaceOnTheAuthLineAndTheEndOfAFailedExchange) {
    const std::string longToken(300, 't');
    const struct {
        TPOP3Auth auth;
        std::string secret;
        std::string message;  // decoded response
        bool initial;         // on the AUTH line
        std::string end;      // answer to a second "+"
    } cases[] = {
        {TPOP3Auth::Plain, "pw", std::string("\0al,i=ce\0pw", 11), true, "*"},
        {TPOP3Auth::XOAuth2, "tok", "user=al,i=ce\x01" "auth=Bearer tok\x01\x01", true, ""},
        {TPOP3Auth::OAuthBearer, "tok",
         "n,a=al=2Ci=3Dce,\x01" "host=pop.example\x01" "port=995\x01" "auth=Bearer tok\x01\x01", true, ""},
        {TPOP3Auth::XOAuth2, longToken, "user=al,i=ce\x01" "auth=Bearer " + longToken + "\x01\x01", false, ""},
    };
    for (const auto& c : cases) {
        CPOP3SASL sasl(c.auth, "al,i=ce", c.secret, "pop.example", "995");
        SCOPED_TRACE(sasl.Mechanism());
        const std::string command = sasl.Command();
        const std::string bare = std::string("AUTH ") + sasl.Mechanism();
        ASSERT_LE(command.size(), 255u);
        std::string response;
        if (c.initial) {
            ASSERT_EQ(command.compare(0, bare.size() + 1, bare + " "), 0) << command;
            response = command.substr(bare.size() + 1);
        } else {
            EXPECT_EQ(command, bare + "\r\n");
            response = sasl.Answer();
        }
        ASSERT_EQ(response.substr(response.size() - 2), "\r\n");
        EXPECT_EQ(Ovrin::DecodeBASE64(response.substr(0, response.size() - 2)), c.message);
        EXPECT_EQ(sasl.Answer(), c.end + "\r\n");
        EXPECT_EQ(Ovrin::MaskedAuthCommand(command), bare + (c.initial ? " ********\r\n" : "\r\n"));
    }
    const CPOP3SASL xoauth2(TPOP3Auth::XOAuth2, "u", "t", "h", "1");
    EXPECT_TRUE(xoauth2.OfferedIn("TOP\nsasl plain Xoauth2\nUSER\n"));
    EXPECT_FALSE(xoauth2.OfferedIn("SASL PLAIN OAUTHBEARER\nXOAUTH2\n"));
    EXPECT_TRUE(Ovrin::IsContinuation("+ ") && Ovrin::IsContinuation("+") && !Ovrin::IsContinuation("+OK"));
}

size_t Occurrences(const std::string& text, const std::string& fragment) {
    size_t n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
        ++n;
    return n;
}

TEST(POP3SASL, AnAccountsLoginIsReadWithItsSecretsDecodedAndRefusedWhenIncomplete) {
    const std::string oauth = " token-url=\"https://id.example/token\" client-id=\"app\" client-secret=\"" +
                              Ovrin::EncodeBASE64("cs") + "\" refresh-token=\"" + Ovrin::EncodeBASE64("rt") + "\"";
    const struct {
        std::string attributes;
        std::string error;  // empty: read
        TPOP3Auth auth;
    } cases[] = {
        {"", "", TPOP3Auth::User},
        {" auth=\"plain\"", "", TPOP3Auth::Plain},
        {" auth=\"oauthbearer\"" + oauth, "", TPOP3Auth::OAuthBearer},
        {" auth=\"kerberos\"", "The POP3 account's auth is 'kerberos', it must be user, plain, xoauth2 or oauthbearer",
         TPOP3Auth::User},
        {" auth=\"xoauth2\" token-url=\"http://id.example/token\" client-id=\"app\" refresh-token=\"cnQ=\"",
         "The POP3 account's token-url 'http://id.example/token' is not an https address", TPOP3Auth::User},
        {" auth=\"xoauth2\" token-url=\"https://id.example/token\" client-id=\"app\"",
         "The POP3 account has no refresh token: it must be authorized first", TPOP3Auth::User},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        WriteWholeFile(dir / "user.xml", "<user><pop3-clients><pop3-client hostname=\"h\"" + c.attributes +
                                             "/></pop3-clients></user>");
        Ovrin::CXMLDocument document(dir / "user.xml");
        Ovrin::CXPathContext context(document);
        Ovrin::CXPathContext client(context.Eval("/user/pop3-clients/pop3-client")->GetNode(0));
        try {
            const Ovrin::CPOP3Login login = Ovrin::ReadPOP3Login(client);
            EXPECT_EQ(c.error, "");
            EXPECT_EQ(login.auth, c.auth);
            if (Ovrin::IsOAuth(login.auth)) {
                EXPECT_EQ(login.clientSecret, "cs");
                EXPECT_EQ(login.refreshToken, "rt");
                EXPECT_EQ(login.tokenUrl, "https://id.example/token");
            }
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
}

std::string Message(const std::string& subject) {
    return "From: s@example.org\r\nTo: joe@example.org\r\nSubject: " + subject + "\r\n\r\nHello.\r\n";
}

const char* kPassword = "plain-pass-7781";
const char* kClientSecret = "client-secret-5523";

class OAuthCollection : public testing::Test {
protected:
    void SetUp() override {
        home.AddUser("joe");
        home.SetParam("parallel-worker-thread-sleep-ms", "5");
        home.SetParam("tls-ca-file", ca.CertificateFile());
        WriteWholeFile(home.UserPath("joe", "ruleset.xml"),
                       RulesetFile(Rule({.description = "all", .matches = AnyMatch(), .actions = DispatchTo("mail")})));
    }

    // Every log of the test's runs holds no secret the test knows of.
    void TearDown() override {
        std::vector<std::string> secrets = {kPassword, kClientSecret, Ovrin::EncodeBASE64(kPassword),
                                            Ovrin::EncodeBASE64(kClientSecret)};
        for (const std::string& seen : seenTokens)
            secrets.push_back(seen);
        if (tokens) {
            // A service never asked has only the state the test gave it.
            const nlohmann::json state = tokens->State();
            for (const char* kind : {"access", "refresh"}) {
                const nlohmann::json issued = state.value(kind, nlohmann::json::object());
                for (const auto& [token, entry] : issued.items())
                    secrets.push_back(token);
            }
        }
        for (const std::string& log : logs)
            for (const std::string& secret : secrets)
                EXPECT_EQ(log.find(secret), std::string::npos) << "a secret in the log:\n" << log;
    }

    void StartTokens(nlohmann::json state) { StartTokens(std::move(state), certificate); }
    void StartTokens(nlohmann::json state, const TestCA::Issued& shown) {
        state["client_id"] = "ovrin-test";
        state["client_secret"] = kClientSecret;
        tokens = std::make_unique<TokenService>(shown, state);
        for (const auto& [token, entry] : state["refresh"].items())
            seenTokens.push_back(token);
    }

    std::unique_ptr<DovecotServer> StartDovecot(const std::string& mechanisms = "plain xoauth2 oauthbearer") {
        auto dovecot = std::make_unique<DovecotServer>(
            std::vector<std::pair<std::string, std::string>>{{"alice", kPassword}},
            DovecotServer::Certificate{certificate.certificate, certificate.key},
            DovecotServer::OAuth2{tokens->Url("/introspect"), ca.CertificateFile(), mechanisms});
        return dovecot;
    }

    void SetAccount(const std::string& auth, uint16_t port, const std::string& security,
                    const std::string& refreshToken) {
        const std::string oauth = auth == "xoauth2" || auth == "oauthbearer"
                                      ? " token-url=\"" + tokens->Url("/token") +
                                            "\" client-id=\"ovrin-test\" client-secret=\"" +
                                            Ovrin::EncodeBASE64(kClientSecret) + "\" refresh-token=\"" +
                                            Ovrin::EncodeBASE64(refreshToken) + "\""
                                      : std::string();
        WriteWholeFile(home.UserPath("joe", "user.xml"),
                       "<?xml version=\"1.0\"?>\n<user><params/><pop3-server/><pop3-clients><pop3-client "
                       "hostname=\"localhost\" port=\"" + std::to_string(port) + "\" username=\"alice\" password=\"" +
                           Ovrin::EncodeBASE64(kPassword) + "\" security=\"" + security + "\" auth=\"" + auth +
                           "\"" + oauth + "/></pop3-clients></user>\n");
    }

    size_t Filed() const {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(home.UserPath("joe", "mail")))
            n += entry.is_regular_file();
        return n;
    }

    // One collection of joe's account; true when the remote mailbox was emptied into "mail".
    bool Collect(OvrinProcess& process, DovecotServer& dovecot, size_t filed) {
        EXPECT_EQ(process.Command("check user joe"), "ok");
        return WaitUntil([&] { return Filed() == filed && dovecot.Count("alice") == 0; });
    }

    void Keep(OvrinProcess& process) { logs.push_back(process.LogText()); }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        const nlohmann::json log = tokens->State().value("log", nlohmann::json::array());
        for (const auto& line : log)
            lines.push_back(line.get<std::string>());
        return lines;
    }

    size_t Counted(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& line : Log())
            n += line.rfind(prefix, 0) == 0;
        return n;
    }

    ServerHome home;
    TestCA ca;
    TestCA::Issued certificate = ca.Issue("DNS:localhost,IP:127.0.0.1");
    std::unique_ptr<TokenService> tokens;
    std::vector<std::string> logs;
    std::vector<std::string> seenTokens;
};

TEST_F(OAuthCollection, EachMechanismLogsInOverTLSAndCollects) {
    StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}});
    auto dovecot = StartDovecot();
    const struct {
        const char* auth;
        const char* security;
        int tokenLength;  // past the AUTH line's 255 octets the response follows Dovecot's "+ "
        const char* method;
    } cases[] = {
        {"plain", "starttls", 40, "method=PLAIN"},
        {"xoauth2", "tls", 40, "method=XOAUTH2"},
        {"oauthbearer", "starttls", 40, "method=OAUTHBEARER"},
        {"xoauth2", "starttls", 300, "method=XOAUTH2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.auth) + " " + std::to_string(c.tokenLength));
        auto state = tokens->State();
        state["length"] = c.tokenLength;
        tokens->SetState(state);
        dovecot->Deliver("alice", Message(c.auth));
        SetAccount(c.auth, std::string(c.security) == "tls" ? dovecot->TLSPort() : dovecot->Port(), c.security,
                   "rt-alice");
        auto process = StartServer(home);
        const size_t before = Filed();
        EXPECT_TRUE(Collect(*process, *dovecot, before + 1)) << process->LogText() << dovecot->Log();
        StopServer(*process);
        Keep(*process);
        EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
        const std::string log = dovecot->Log();
        const size_t login = log.rfind("Login: user=<alice>");
        ASSERT_NE(login, std::string::npos) << log;
        const std::string line = log.substr(login, log.find('\n', login) - login);
        EXPECT_NE(line.find(c.method), std::string::npos) << line;
        EXPECT_NE(line.find(", TLS"), std::string::npos) << line;
    }
    EXPECT_EQ(Counted("introspect active"), 3u);
    EXPECT_EQ(Counted("introspect inactive"), 0u);
}

TEST_F(OAuthCollection, AccessTokensAreRenewedBeforeTheyExpireAndARotatedRefreshTokenIsSaved) {
    const struct {
        int lifetime;  // seconds; under a minute counts as expiring
        bool rotate;
        size_t refreshes;  // for two collections by one server
    } cases[] = {{3600, false, 1}, {30, true, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lifetime);
        StartTokens({{"refresh", {{"rt-first", {{"user", "alice"}}}}}, {"lifetime", c.lifetime}, {"rotate", c.rotate}});
        auto dovecot = StartDovecot();
        SetAccount("oauthbearer", dovecot->TLSPort(), "tls", "rt-first");
        auto process = StartServer(home);
        const size_t before = Filed();
        for (size_t i = 1; i <= 2; ++i) {
            dovecot->Deliver("alice", Message("round " + std::to_string(i)));
            ASSERT_TRUE(Collect(*process, *dovecot, before + i)) << process->LogText() << dovecot->Log();
        }
        StopServer(*process);
        Keep(*process);
        EXPECT_TRUE(process->LogLinesWith(" ERROR ").empty()) << process->LogText();
        EXPECT_EQ(Counted("refresh rt-"), c.refreshes);
        EXPECT_EQ(Counted("refresh refused"), 0u);
        const auto state = tokens->State();
        ASSERT_EQ(state["refresh"].size(), 1u);
        const std::string current = state["refresh"].begin().key();
        EXPECT_EQ(current == "rt-first", !c.rotate);
        const std::string saved = ReadWholeFile(home.UserPath("joe", "user.xml"));
        EXPECT_NE(saved.find("refresh-token=\"" + Ovrin::EncodeBASE64(current) + "\""), std::string::npos) << saved;
        TearDown();  // the secrets of this round, before the next service replaces them
    }
}

TEST_F(OAuthCollection, ARefusedRefreshTokenEndsTheCollectionInOneLineAndDovecotIsUntouched) {
    StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}});
    auto dovecot = StartDovecot();
    dovecot->Deliver("alice", Message("stays"));
    SetAccount("xoauth2", dovecot->TLSPort(), "tls", "rt-revoked");
    // Dovecot logs its start-up probes (one per port) late; after them it must log nothing.
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(dovecot->Log(), "pop3-login") == 2; })) << dovecot->Log();
    const std::string dovecotBefore = dovecot->Log();
    auto process = StartServer(home);
    EXPECT_EQ(process->Command("check user joe"), "ok");
    ASSERT_TRUE(process->WaitForLog("must be authorized again")) << process->LogText();
    StopServer(*process);
    Keep(*process);
    const auto errors = process->LogLinesWith(" ERROR ");
    ASSERT_EQ(errors.size(), 1u) << process->LogText();
    EXPECT_NE(errors[0].find("POP3 account alice@localhost:" + std::to_string(dovecot->TLSPort()) +
                             " must be authorized again"),
              std::string::npos)
        << errors[0];
    EXPECT_EQ(Counted("refresh refused"), 1u);
    EXPECT_EQ(dovecot->Log(), dovecotBefore);
    EXPECT_EQ(dovecot->Count("alice"), 1u);
}

// Dovecot answers a token it finds inactive with an error challenge and waits: the session
// ends the exchange with an empty line and reports the refusal that follows.
TEST_F(OAuthCollection, ATokenTheServerRefusesEndsTheExchangeAndTheSession) {
    StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}, {"revoked", true}});
    auto dovecot = StartDovecot();
    dovecot->Deliver("alice", Message("stays"));
    for (const char* auth : {"oauthbearer", "xoauth2"}) {
        SCOPED_TRACE(auth);
        SetAccount(auth, dovecot->TLSPort(), "tls", "rt-alice");
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(process->WaitForLog("replied with '-ERR [AUTH]")) << process->LogText() << dovecot->Log();
        StopServer(*process);
        Keep(*process);
        EXPECT_FALSE(process->LogLinesWith("when asked 'AUTH " + Ovrin::ToUpper(auth) + " ********").empty())
            << process->LogText();
    }
    EXPECT_EQ(Counted("introspect inactive"), 2u);
    EXPECT_EQ(dovecot->Count("alice"), 1u);
}

// A token endpoint whose certificate the server cannot trust gets neither the refresh token nor
// the client secret: the collection ends in one line before anything is sent, to it or to the
// POP3 server.
TEST_F(OAuthCollection, ATokenEndpointThatCannotBeTrustedIsSentNothing) {
    TestCA stranger;
    const struct {
        const char* what;
        TestCA::Issued shown;
    } cases[] = {
        {"signed by an unknown CA", stranger.Issue("DNS:localhost,IP:127.0.0.1")},
        {"expired", ca.Issue("DNS:localhost,IP:127.0.0.1", -1)},
        {"for another name", ca.Issue("DNS:id.example.org")},
    };
    StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}});  // Dovecot's, which it never gets to ask
    auto dovecot = StartDovecot("xoauth2");
    dovecot->Deliver("alice", Message("stays"));
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(dovecot->Log(), "pop3-login") == 2; })) << dovecot->Log();
    const std::string dovecotBefore = dovecot->Log();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}}, c.shown);
        SetAccount("xoauth2", dovecot->TLSPort(), "tls", "rt-alice");
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(process->WaitForLog("no access token")) << process->LogText();
        StopServer(*process);
        Keep(*process);
        EXPECT_EQ(process->LogLinesWith(" ERROR ").size(), 1u) << process->LogText();
        EXPECT_TRUE(Log().empty()) << testing::PrintToString(Log());
    }
    EXPECT_EQ(dovecot->Log(), dovecotBefore);
    EXPECT_EQ(dovecot->Count("alice"), 1u);
}

TEST_F(OAuthCollection, NoSecretLeavesWhereTheLoginCannotBeSafe) {
    StartTokens({{"refresh", {{"rt-alice", {{"user", "alice"}}}}}});
    const struct {
        const char* auth;
        const char* security;
        const char* mechanisms;  // Dovecot's
        const char* logged;
    } cases[] = {
        {"xoauth2", "starttls", "plain oauthbearer", "does not offer SASL XOAUTH2; terminating connection abnormally"},
        {"plain", "tls", "xoauth2", "does not offer SASL PLAIN; terminating connection abnormally"},
        {"oauthbearer", "none", "plain xoauth2 oauthbearer",
         "is not asked to log in, the account's auth needs TLS and its security is none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.auth);
        auto dovecot = StartDovecot(c.mechanisms);
        dovecot->Deliver("alice", Message("stays"));
        const std::string security = c.security;
        SetAccount(c.auth, security == "tls" ? dovecot->TLSPort() : dovecot->Port(), security, "rt-alice");
        auto process = StartServer(home);
        EXPECT_EQ(process->Command("check user joe"), "ok");
        ASSERT_TRUE(process->WaitForLog(c.logged)) << process->LogText();
        StopServer(*process);
        Keep(*process);
        EXPECT_EQ(process->LogLinesWith(" ERROR ").size(), 1u) << process->LogText();
        EXPECT_EQ(dovecot->Count("alice"), 1u);
        EXPECT_EQ(dovecot->Log().find("Login: "), std::string::npos) << dovecot->Log();
        EXPECT_EQ(dovecot->Log().find("auth failed"), std::string::npos) << dovecot->Log();
    }
    // No token reached Dovecot; none was even asked for where TLS was missing.
    EXPECT_EQ(Counted("introspect"), 0u);
    EXPECT_EQ(Counted("refresh rt-"), 1u);
}

}  // namespace
