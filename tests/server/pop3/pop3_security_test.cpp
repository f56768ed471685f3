// What an account's security attribute means, with the default by port, and where the POP3
// server accepts USER and PASS without TLS.
#include <gtest/gtest.h>

#include "server/core/config.h"
#include "server/pop3/pop3_security.h"
#include "tests/support/log_capture.h"
#include "tests/support/thrown_message.h"

using namespace Ovrin;

TEST(POP3Security, TheAttributeOrThePortDecides) {
    const struct {
        const char* text;
        const char* port;
        TPOP3Security security;
    } cases[] = {
        {"", "995", TPOP3Security::TLS},        {"", "pop3s", TPOP3Security::TLS},
        {"", "110", TPOP3Security::None},       {"none", "995", TPOP3Security::None},
        {"tls", "110", TPOP3Security::TLS},     {"starttls", "110", TPOP3Security::StartTLS},
        {"starttls", "995", TPOP3Security::StartTLS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePOP3Security(c.text, CInternetPort(c.port, CInternetPort::TCP)), c.security)
            << c.text << " " << c.port;
    EXPECT_EQ(OvrinTest::ThrownMessage([] { ParsePOP3Security("TLS", CInternetPort("110", CInternetPort::TCP)); }),
              "Invalid security 'TLS' for a POP3 account, must be none, tls or starttls");
}

TEST(POP3Security, PlaintextLoginsAreAcceptedByPolicyConnectionAndPeer) {
    const CInternetAddress loopback("127.0.0.1"), otherLoopback("127.1.2.3"), remote("192.0.2.7");
    const struct {
        const char* value;  // of pop3-plaintext-auth; null: not set
        bool plainRemote, plainLoopback, secureRemote;
    } cases[] = {
        {nullptr, true, true, true},
        {"always", true, true, true},
        {"tls-or-loopback", false, true, true},
        {"tls-only", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "not set");
        if (c.value)
            Config().SetValue("pop3-plaintext-auth", c.value);
        const TPlaintextAuth policy = POP3PlaintextAuth();
        EXPECT_EQ(AcceptsPlaintextAuth(policy, false, remote), c.plainRemote);
        EXPECT_EQ(AcceptsPlaintextAuth(policy, false, loopback), c.plainLoopback);
        EXPECT_EQ(AcceptsPlaintextAuth(policy, false, otherLoopback), c.plainLoopback);
        EXPECT_EQ(AcceptsPlaintextAuth(policy, true, remote), c.secureRemote);
    }
    Config().SetValue("pop3-plaintext-auth", "never");
    OvrinTest::LogCapture log;
    EXPECT_EQ(OvrinTest::ThrownMessage([] { POP3PlaintextAuth(); }),
              "The configuration parameter pop3-plaintext-auth is 'never', it must be always, tls-or-loopback or "
              "tls-only");
    Config().DelValue("pop3-plaintext-auth");
}
