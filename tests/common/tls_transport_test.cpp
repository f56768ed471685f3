// TLS under the connected socket, on loopback with certificates of a throw-away CA: the
// handshake fitted to the readiness waits, bulk data both ways, the orderly end, the time-out,
// certificates refused with the reason, and contexts whose files cannot be loaded.
#include "common/tls_transport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/connected_socket.h"
#include "common/socket_wait.h"
#include "common/tls_context.h"
#include "tests/support/connection_pair.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_ca.h"
#include "tests/support/thrown_message.h"
#include "tests/support/wait.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

// One CA for the whole program: making certificates costs a run of openssl each.
TestCA& CA() {
    static TestCA ca;
    return ca;
}

CTLSContextPtr ServerContext(const TestCA::Issued& issued) {
    return CTLSContext::CreateServer(issued.certificate, issued.key);
}

CTLSContextPtr GoodServer() {
    static const CTLSContextPtr context = ServerContext(CA().Issue("DNS:localhost,IP:127.0.0.1"));
    return context;
}

CTLSContextPtr Client() {
    static const CTLSContextPtr context = CTLSContext::CreateClient(CA().CertificateFile());
    return context;
}

// A loopback connection whose ends start TLS at once, the server's without a step yet.
struct TLSPair : Pair {
    TLSPair(const CTLSContextPtr& serverContext, const std::string& name) {
        serverEnd->StartTLS(serverContext, "");
        clientEnd->StartTLS(Client(), name);
    }
    // Steps both ends until the client's handshake is done; the server's runs inside Recv.
    void Handshake() {
        std::string line;
        ASSERT_TRUE(WaitUntil([&] {
            serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line);
            return clientEnd->Handshake();
        }));
    }
};

// The reason a client handshake fails with, while the server end steps along.
std::string RefusedBecause(Pair& pair) {
    std::string reason, line;
    EXPECT_TRUE(WaitUntil([&] {
        try {
            pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line);
        } catch (const CMessageException&) {
        }
        try {
            EXPECT_FALSE(pair.clientEnd->Handshake());
            return false;
        } catch (const CTLSTransport::CHandshakeException& e) {
            reason = e.what();
            return true;
        }
    }));
    return reason;
}

}  // namespace

TEST(TLSConnection, LinesAndBulkCrossBothWaysAndTheEndIsOrderly) {
    TLSPair pair(GoodServer(), "localhost");
    pair.Handshake();
    EXPECT_TRUE(pair.clientEnd->IsSecure());
    EXPECT_TRUE(pair.serverEnd->IsSecure());
    Send(*pair.clientEnd, "USER a\r\nPASS b\r\n");
    EXPECT_EQ(RecvLine(*pair.serverEnd), "USER a");
    EXPECT_EQ(RecvLine(*pair.serverEnd), "PASS b");

    // Far more than the socket takes at once: writes block half-way through records and are
    // handed over again, moved and grown, until everything has passed.
    std::string bulk;
    for (int i = 0; bulk.size() < 3000000; ++i)
        bulk += std::to_string(i) + " the quick brown fox\r\n";
    std::string received;
    size_t queued = 0;
    char chunk[65536];
    ASSERT_TRUE(WaitUntil([&] {
        if (queued < bulk.size() && pair.serverEnd->GetPendingOutput() < 500000) {
            const size_t piece = std::min<size_t>(bulk.size() - queued, 100000);
            pair.serverEnd->Send(bulk.data() + queued, static_cast<uint32_t>(piece));
            queued += piece;
        }
        pair.serverEnd->Send(nullptr, 0);
        received.append(chunk, pair.clientEnd->Recv(chunk, sizeof chunk, CConnectedSocket::xferUPTO, nullptr));
        return received.size() == bulk.size();
    }));
    EXPECT_TRUE(received == bulk);

    // The closing alert tells the server that nothing was cut off.
    pair.clientEnd.reset();
    LogCapture log;
    EXPECT_EQ(RecvFailure(*pair.serverEnd), "SSL_read() returned closed connection");
}

TEST(TLSConnection, AWriteThatMustFirstReadWaitsForReadingAndTheHandshakeTimesOut) {
    TLSPair pair(GoodServer(), "localhost");
    // The greeting cannot go before the client has said hello: the wait is for reading.
    const std::string greeting = "+OK ready\r\n";
    pair.serverEnd->Send(greeting.data(), static_cast<uint32_t>(greeting.size()));
    EXPECT_EQ(pair.serverEnd->Send(nullptr, 0), greeting.size());
    CSocketWait wait = pair.serverEnd->GetWait();
    EXPECT_EQ(wait.directions, CSocketWait::kRead);
    EXPECT_FALSE(wait.readyNow);
    std::vector<CSocketWait> waits{wait};
    EXPECT_EQ(WaitForSockets(waits, 50), 0u);  // no busy loop on a writable socket

    EXPECT_FALSE(pair.clientEnd->Handshake());  // the hello goes out
    EXPECT_EQ(pair.clientEnd->GetWait().directions, CSocketWait::kRead);
    waits = {pair.serverEnd->GetWait()};
    EXPECT_EQ(WaitForSockets(waits, 20000), 1u);
    ASSERT_TRUE(WaitUntil([&] {
        const bool secured = pair.clientEnd->Handshake();
        return pair.serverEnd->Send(nullptr, 0) == 0 && secured;
    }));
    EXPECT_EQ(RecvLine(*pair.clientEnd), "+OK ready");

    // A peer that never answers the hello meets the inactivity time-out, as a plain one does.
    Pair silent;
    silent.clientEnd->StartTLS(Client(), "localhost");
    EXPECT_FALSE(silent.clientEnd->Handshake());
    const std::time_t before = std::time(nullptr);
    silent.clientEnd->SetInactivityTimeout(0);
    ASSERT_TRUE(WaitUntil([&] { return std::time(nullptr) > before; }, std::chrono::seconds(3)));
    EXPECT_EQ(ThrownMessage([&] { silent.clientEnd->Handshake(); }), "Inactivity timeout 0 seconds");
}

TEST(TLSConnection, ARefusedHandshakeSaysWhy) {
    TestCA stranger;
    struct Case {
        const char* name;
        CTLSContextPtr server;  // null: the server end stays plain and greets
        const char* peerName;
        const char* reason;
    };
    const Case cases[] = {
        {"another host name", ServerContext(CA().Issue("DNS:pop.example.org")), "localhost",
         "the certificate was refused: hostname mismatch"},
        {"another address", ServerContext(CA().Issue("DNS:localhost")), "127.0.0.1",
         "the certificate was refused: IP address mismatch"},
        {"an unknown issuer", ServerContext(stranger.Issue("DNS:localhost")), "localhost",
         "the certificate was refused: unable to get local issuer certificate"},
        {"expired", ServerContext(CA().Issue("DNS:localhost", -1)), "localhost",
         "the certificate was refused: certificate has expired"},
        {"a peer without TLS", nullptr, "localhost", "the TLS handshake failed: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        if (c.server)
            pair.serverEnd->StartTLS(c.server, "");
        else
            Send(*pair.serverEnd, "+OK POP3 server ready\r\n");
        pair.clientEnd->StartTLS(Client(), c.peerName);
        LogCapture log;
        const std::string reason = RefusedBecause(pair);
        EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
        // The client end says it once, to its caller; it logs nothing itself.
        EXPECT_TRUE(log.LinesWith(c.reason).empty());
    }
    // Both names of the right certificate pass.
    for (const char* name : {"localhost", "127.0.0.1"}) {
        TLSPair pair(GoodServer(), name);
        pair.Handshake();
        Send(*pair.clientEnd, std::string(name) + "\r\n");
        EXPECT_EQ(RecvLine(*pair.serverEnd), name);
    }
}

TEST(TLSContext, FilesThatCannotBeLoadedSayWhich) {
    const TestCA::Issued issued = CA().Issue("DNS:localhost");
    const TestCA::Issued other = CA().Issue("DNS:localhost");
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { CTLSContext::CreateServer("/nonexistent.pem", issued.key); })
                  .rfind("Unable to load the TLS certificate from '/nonexistent.pem': ", 0),
              0u);
    EXPECT_EQ(ThrownMessage([&] { CTLSContext::CreateServer(issued.certificate, issued.certificate); })
                  .rfind("Unable to load the TLS key from '" + issued.certificate + "': ", 0),
              0u);
    EXPECT_EQ(ThrownMessage([&] { CTLSContext::CreateServer(issued.certificate, other.key); }),
              "Unable to load the TLS key from '" + other.key + "': key values mismatch");
    EXPECT_EQ(ThrownMessage([&] { CTLSContext::CreateClient(issued.key); })
                  .rfind("Unable to load the CA certificates from '" + issued.key + "': ", 0),
              0u);
}

TEST(TLSConnection, PlainBytesAheadOfTheHandshakeAreNeverTakenForSecuredOnes) {
    // A reply to STLS with something behind it, as a third party on the path might add.
    Pair pair;
    Send(*pair.serverEnd, "+OK Begin TLS negotiation\r\n+OK injected\r\n");
    EXPECT_EQ(RecvLine(*pair.clientEnd), "+OK Begin TLS negotiation");
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { pair.clientEnd->StartTLS(Client(), "localhost"); }),
              "Unexpected 14 bytes before the TLS handshake");
    EXPECT_FALSE(pair.clientEnd->IsSecure());
    pair.serverEnd->SendLine("queued\r\n");
    EXPECT_EQ(ThrownMessage([&] { pair.serverEnd->StartTLS(GoodServer(), ""); }),
              "Pending output: 8 bytes before the TLS handshake");
}
