// Addresses, ports and CSocket on loopback: names and numbers, creation failures, peer filters,
// closed peers and datagrams.
#include "common/socket.h"

#include <arpa/inet.h>
#include <poll.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/name_lookup.h"
#include "common/socket_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/thrown_message.h"
#include "tests/support/wait.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::ThrownMessage;
using OvrinTest::WaitUntil;

namespace {

const CInternetAddress& Loopback() {
    static const CInternetAddress loopback("127.0.0.1");
    return loopback;
}

CInternetPort AnyPort(int protocol) { return CInternetPort(static_cast<uint16_t>(0), protocol); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TEST(CInternetPort, NamesOfDigitsAreNumbersAndOthersAreServices) {
    struct Case {
        const char* name;
        unsigned number;
        const char* keptName;
    };
    const Case cases[] = {{"0", 0, "0"}, {"", 0, ""}, {"65535", 65535, "65535"}, {"110", 110, "110"},
                          {"pop3", 110, "pop3"}};
    for (const Case& c : cases) {
        CInternetPort port(c.name, CInternetPort::TCP);
        EXPECT_EQ(port.GetNumber(), c.number) << c.name;
        EXPECT_EQ(port.GetPort(), htons(static_cast<uint16_t>(c.number))) << c.name;
        EXPECT_EQ(port.GetName(), c.keptName) << c.name;
    }
    LogCapture log;
    for (const char* name : {"65536", "1100000", "no-such-service"})
        EXPECT_TRUE(StartsWith(ThrownMessage([&] { CInternetPort(name, CInternetPort::TCP); }),
                               std::string("getservbyname('") + name + "', tcp) failed with WSAGetLastError="))
            << name;
    // From a number the name is the registered service's.
    EXPECT_EQ(CInternetPort(static_cast<uint16_t>(110), CInternetPort::TCP).GetName(), "pop3");
    EXPECT_EQ(CInternetPort(static_cast<uint16_t>(1), 7).GetProtocolText(), std::string("unknown"));
}

TEST(CInternetAddress, DottedFormsStayAndNamesResolve) {
    CInternetAddress dotted("127.0.0.1");
    EXPECT_EQ(dotted.GetName(), "127.0.0.1");
    EXPECT_EQ(dotted.GetHostOrderAddress(), 0x7F000001u);
    CInternetAddress named("localhost");
    EXPECT_EQ(named.GetDottedAddress(), "127.0.0.1");
    EXPECT_EQ(named.GetName(), "localhost");
    EXPECT_EQ(CInternetAddress(0x7F000001u).GetName(), "localhost");
    EXPECT_EQ(CInternetAddress().GetName(), "0.0.0.0");
    EXPECT_TRUE(CInternetAddress().IsAny());
    LogCapture log;
    // IPv6 is not served yet: it must fail like any name that does not resolve.
    for (const char* name : {"::1", "fe80::1%lo"})
        EXPECT_TRUE(StartsWith(ThrownMessage([&] { CInternetAddress address{std::string(name)}; }),
                               std::string("Unable to resolve DNS name '") + name + "', WSAGetLastError="))
            << name;
}

// A look-up answers through its descriptor, with the address or the failure a direct one gives;
// one dropped before its answer is simply left to end.
TEST(CNameLookup, AnswersLikeADirectLookUpOnceItsDescriptorIsReady) {
    LogCapture log;
    for (const char* name : {"localhost", "127.0.0.1", "::1"}) {
        CNameLookup lookup(name);
        std::vector<CSocketWait> waits{lookup.GetWait()};
        ASSERT_EQ(WaitForSockets(waits, 10000), 1u) << name;
        ASSERT_TRUE(lookup.Done()) << name;
        std::string direct, apart;
        try {
            direct = CInternetAddress(std::string(name)).GetDottedAddress();
        } catch (const std::exception& e) {
            direct = e.what();
        }
        try {
            apart = lookup.Take().GetDottedAddress();
        } catch (const std::exception& e) {
            apart = e.what();
        }
        EXPECT_EQ(apart, direct) << name;
    }
    { CNameLookup dropped("localhost"); }
}

TEST(CSocket, CreationBindsAndRefusesWhatItCannotMake) {
    CSocket tcp(Loopback(), AnyPort(CInternetPort::TCP));
    EXPECT_NE(tcp.GetBoundPort().GetNumber(), 0);
    EXPECT_EQ(tcp.GetBoundAddress().GetDottedAddress(), "127.0.0.1");
    EXPECT_EQ(tcp.GetMaxDatagramSize(), 0u);
    CSocket udp(Loopback(), AnyPort(CInternetPort::UDP));
    EXPECT_GT(udp.GetMaxDatagramSize(), 1024u);

    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { CSocket(Loopback(), CInternetPort(static_cast<uint16_t>(0), 3)); }),
              "Don't have any idea how to create 'unknown' sockets");
    // The port is taken by a listener of our own, so binding it again must fail.
    CSocket listener(Loopback(), AnyPort(CInternetPort::TCP));
    listener.Listen();
    CInternetPort taken = listener.GetBoundPort();
    EXPECT_TRUE(StartsWith(ThrownMessage([&] { CSocket(Loopback(), taken); }),
                           "bind(127.0.0.1:" + taken.GetName() + ") failed with WSAGetLastError=98"));
    EXPECT_EQ(ThrownMessage([&] { tcp.Release(); }), "Invalid call to Release(), no prior call to Acquire()");
    EXPECT_TRUE(tcp.Acquire(kInfinite));
    tcp.Release();
}

TEST(CSocket, ConnectAcceptSendRecvAndAPeerThatCloses) {
    CSocket listener(Loopback(), AnyPort(CInternetPort::TCP));
    listener.Listen();
    auto client = std::make_unique<CSocket>(Loopback(), AnyPort(CInternetPort::TCP));
    std::shared_ptr<CSocket> server;
    client->Connect(Loopback(), listener.GetBoundPort());  // the first step starts the attempt
    ASSERT_TRUE(WaitUntil([&] { return listener.Accept(CInternetAddress(), CInternetPort(), server); }));
    ASSERT_TRUE(WaitUntil([&] { return client->Connect(Loopback(), listener.GetBoundPort()); }));
    EXPECT_EQ(server->GetPeerAddress().GetName(), "localhost");

    char buffer[16];
    EXPECT_EQ(server->Recv(buffer, sizeof buffer), 0u);  // quiet, still open
    EXPECT_EQ(client->Send("ping", 4), 4u);
    uint32_t got = 0;
    ASSERT_TRUE(WaitUntil([&] { return (got = server->Recv(buffer, sizeof buffer)) > 0; }));
    EXPECT_EQ(std::string(buffer, got), "ping");

    client.reset();
    LogCapture log;
    std::string reason;
    ASSERT_TRUE(WaitUntil([&] {
        try {
            server->Recv(buffer, sizeof buffer);
            return false;
        } catch (const CMessageException& e) {
            reason = e.what();
            return true;
        }
    }));
    EXPECT_TRUE(StartsWith(reason, "recv() returned reset connection with WSAGetLastError=")) << reason;
    EXPECT_EQ(log.LinesWith("CSocket::Recv(0x").size(), 1u);  // the trace shows the path
}

TEST(CSocket, DatagramsFromSendersOutsideTheFiltersAreDiscarded) {
    CSocket server(Loopback(), AnyPort(CInternetPort::UDP));
    CSocket wanted(Loopback(), AnyPort(CInternetPort::UDP));
    CSocket other(Loopback(), AnyPort(CInternetPort::UDP));
    EXPECT_EQ(other.SendTo(Loopback(), server.GetBoundPort(), "other", 5), 5u);
    EXPECT_EQ(wanted.SendTo(Loopback(), server.GetBoundPort(), "wanted", 6), 6u);
    char buffer[64];
    std::string received;
    int discarded = 0;
    ASSERT_TRUE(WaitUntil([&] {
        pollfd entry{server.GetDescriptor(), POLLIN, 0};
        bool readable = ::poll(&entry, 1, 0) > 0;
        uint32_t got = server.RecvFrom(Loopback(), wanted.GetBoundPort(), buffer, sizeof buffer);
        if (readable && got == 0)
            ++discarded;
        received.assign(buffer, got);
        return got > 0;
    }));
    EXPECT_EQ(received, "wanted");
    EXPECT_EQ(discarded, 1);
}
