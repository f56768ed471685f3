// Connected sockets made by the factories on loopback: transfer modes, coalescing, time-outs,
// line limits, destruction, peer filters, failed connects, datagrams and the readiness wait.
#include "common/connected_socket.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_factory.h"
#include "common/socket_wait.h"
#include "tests/support/connection_pair.h"
#include "tests/support/log_capture.h"
#include "tests/support/thrown_message.h"
#include "tests/support/wait.h"

using namespace Ovrin;
using OvrinTest::AnyPort;
using OvrinTest::Connect;
using OvrinTest::Connection;
using OvrinTest::Flush;
using OvrinTest::LogCapture;
using OvrinTest::Loopback;
using OvrinTest::Pair;
using OvrinTest::RecvFailure;
using OvrinTest::RecvLine;
using OvrinTest::Send;
using OvrinTest::ThrownMessage;
using OvrinTest::WaitUntil;

namespace {

template <class Exception, class Body>
std::string ThrownAs(Body body) {
    try {
        body();
    } catch (const Exception& e) {
        return e.what();
    } catch (...) {
        ADD_FAILURE() << "another exception";
        return "";
    }
    return "";
}

}  // namespace

TEST(CConnectedStreamSocket, SmallWritesWaitForAFlushAndLinesArriveWhole) {
    Pair pair;
    EXPECT_EQ(pair.clientEnd->SendLine("USER a\r\n"), 8u);  // coalesced, not yet on the wire
    EXPECT_EQ(pair.clientEnd->SendLine("PASS b\r\n"), 16u);
    std::string line;
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 0u);
    Flush(*pair.clientEnd);
    EXPECT_EQ(RecvLine(*pair.serverEnd), "USER a");
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 7u);  // already buffered
    EXPECT_EQ(line, "PASS b");

    // More than 64 KiB pending goes out without a flush.
    std::string bulk(70000, 'x');
    EXPECT_LT(pair.serverEnd->Send(bulk.data(), static_cast<uint32_t>(bulk.size())), bulk.size());
    std::string received;
    char chunk[8192];
    ASSERT_TRUE(WaitUntil([&] {
        pair.serverEnd->Send(nullptr, 0);
        uint32_t got = pair.clientEnd->Recv(chunk, sizeof chunk, CConnectedSocket::xferUPTO, nullptr);
        received.append(chunk, got);
        return received.size() == bulk.size();
    }));
    EXPECT_EQ(received, bulk);
}

TEST(CConnectedStreamSocket, ExactReadsWaitForTheWholeCountAndKeepAPartOne) {
    Pair pair;
    Send(*pair.serverEnd, "1234");
    char buffer[10];
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(pair.clientEnd->Recv(buffer, sizeof buffer, CConnectedSocket::xferEXACT, nullptr), 0u);
        return pair.clientEnd->GetPendingInput() == 4;
    }));
    EXPECT_FALSE(pair.clientEnd->GetWait().readyNow);
    Send(*pair.serverEnd, "567890");
    uint32_t got = 0;
    ASSERT_TRUE(WaitUntil([&] { return (got = pair.clientEnd->Recv(buffer, 10, CConnectedSocket::xferEXACT, nullptr)) > 0; }));
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buffer, 10), "1234567890");
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { pair.clientEnd->Recv(nullptr, 4, CConnectedSocket::xferEXACT, nullptr); }),
              "Invalid buffer with xferEXACT or xferUPTO");
    EXPECT_EQ(ThrownMessage([&] { pair.clientEnd->Recv(buffer, 4, CConnectedSocket::xferLINE, nullptr); }),
              "Null pointer to a string with xferLINE");
}

TEST(CConnectedStreamSocket, InactivityEndsTheConnectionAtTheNextSendOrRecv) {
    Pair pair;
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(pair.clientEnd->SetInactivityTimeout(0), CConnectedSocket::kDefaultInactivityTimeout);
    ASSERT_TRUE(WaitUntil([&] { return std::time(nullptr) > before; }, std::chrono::seconds(3)));
    LogCapture log;
    std::string line;
    EXPECT_EQ(ThrownMessage([&] { pair.clientEnd->Send("x", 1); }), "Inactivity timeout 0 seconds");
    EXPECT_EQ(ThrownMessage([&] { pair.clientEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line); }),
              "Inactivity timeout 0 seconds");
    EXPECT_EQ(log.LinesWith("CConnectedStreamSocket::Send(0x").size(), 1u);
    // The other end, busy all along, is unaffected.
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 0u);
}

// Pieces of at most the given length; put together (a CR LF after each whole line) they give
// the bytes sent, whatever their line lengths, and a CR LF is never split between two pieces.
TEST(CConnectedStreamSocket, LinesOfAnyLengthComeInPiecesThatAddUpToThem) {
    const std::string text = std::string(3 * 1024 * 1024, 'L') + "\r\n" + "short\r\n" + std::string(9, 'x') +
                             "\r\n" + std::string(100000, 'm') + "\r\n" + "\r\n" + std::string(20, 'e') + "\r\n";
    for (const uint32_t piece : {10u, 65534u}) {
        SCOPED_TRACE(piece);
        Pair pair;
        std::string joined, line;
        size_t longest = 0, sent = 0;
        ASSERT_TRUE(WaitUntil([&] {
            const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(65536, text.size() - sent));
            if (pair.clientEnd->Send(nullptr, 0) == 0 && chunk > 0) {
                pair.clientEnd->Send(text.data() + sent, chunk);
                sent += chunk;
            }
            while (uint32_t got = pair.serverEnd->Recv(nullptr, piece, CConnectedSocket::xferPIECE, &line)) {
                longest = std::max(longest, line.size());
                joined += got > line.size() ? line + "\r\n" : line;
            }
            return joined.size() >= text.size();
        }, std::chrono::seconds(20)));
        EXPECT_EQ(joined, text);
        EXPECT_EQ(longest, piece);
    }
}

TEST(CConnectedStreamSocket, APeerWithoutLineEndsIsCutOffAtTheLineLimit) {
    Pair pair;
    EXPECT_EQ(pair.serverEnd->SetMaxLineLength(512), 0u);
    Send(*pair.clientEnd, std::string(512, 'a') + "\r\n");
    EXPECT_EQ(RecvLine(*pair.serverEnd).size(), 512u);

    std::string flood(200000, 'b');
    pair.clientEnd->Send(flood.data(), static_cast<uint32_t>(flood.size()));
    LogCapture log;
    EXPECT_EQ(RecvFailure(*pair.serverEnd, [&] { pair.clientEnd->Send(nullptr, 0); }),
              "Line too long, may not exceed 512 bytes");
    EXPECT_LE(pair.serverEnd->GetPendingInput(), 512u + 1 + CConnectedSocket::kScratchSize);
}

TEST(CConnectedStreamSocket, APeerThatClosesEndsRecvAndUnsentBytesAreLogged) {
    Pair pair;
    std::string line;
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 0u);  // quiet, open
    pair.clientEnd->SendLine("twelve bytes");
    {
        LogCapture log;
        pair.clientEnd.reset();
        EXPECT_EQ(log.LinesWith("WARNING Pending output: 12 bytes discarded").size(), 1u);
    }
    LogCapture log;
    const std::string reason = RecvFailure(*pair.serverEnd);
    EXPECT_EQ(reason.rfind("recv() returned reset connection with WSAGetLastError=", 0), 0u) << reason;
}

TEST(CSocketFactory, ConnectToAClosedPortFails) {
    // A bound socket that does not listen holds the port and refuses connections to it.
    CSocket holder(Loopback(), AnyPort());
    CClientSocketFactory client(Loopback(), AnyPort(), Loopback(), holder.GetBoundPort());
    LogCapture log;
    std::string reason = ThrownAs<CSocket::CFailedToConnectException>([&] {
        Connection connection;
        for (int step = 0; step < 2000 && !client.Connect(connection); ++step) {
            std::vector<CSocketWait> waits{client.GetWait()};
            WaitForSockets(waits, 10);
        }
    });
    EXPECT_TRUE(reason == "non-blocking connection attempt failed" ||
                reason == "connection attempt to 127.0.0.1:" + holder.GetBoundPort().GetName() +
                              " failed with WSAGetLastError=111")
        << reason;
}

TEST(CSocketFactory, APeerFilterDropsOtherPeers) {
    CSocket wantedEnd(Loopback(), AnyPort());
    CInternetPort wantedPort = wantedEnd.GetBoundPort();
    // The factory binds its own socket to the same local port; SO_REUSEADDR allows it while unused.
    CServerSocketFactory server(Loopback(), AnyPort(), Loopback(), wantedPort);
    CClientSocketFactory other(Loopback(), AnyPort(), Loopback(), server.GetBoundPort());
    Connection otherEnd, accepted;
    ASSERT_TRUE(WaitUntil([&] { return otherEnd || other.Connect(otherEnd); }));
    bool dropped = false;
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<CSocketWait> waits{server.GetWait()};
        if (WaitForSockets(waits, 10) == 0)
            return false;
        dropped = !server.Connect(accepted);
        return true;
    }));
    EXPECT_TRUE(dropped);
    EXPECT_FALSE(accepted);

    CClientSocketFactory wanted(Loopback(), wantedPort, Loopback(), server.GetBoundPort());
    Connection wantedClient;
    Connect(wanted, server, wantedClient, accepted);
    EXPECT_EQ(accepted->GetPeerAddress().GetName(), "localhost");
    Send(*wantedClient, "hello\r\n");
    EXPECT_EQ(RecvLine(*accepted), "hello");
}

TEST(CSocketFactory, AClientFactoryConnectsAgainAfterEachConnection) {
    Pair pair;
    Connection second, secondServer;
    Connect(pair.client, pair.server, second, secondServer);
    Send(*second, "second\r\n");
    EXPECT_EQ(RecvLine(*secondServer), "second");
    std::string line;
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 0u);
}

TEST(CSocketFactory, DatagramsMakeOneShotClientsAndReadOnlyServerEnds) {
    CServerSocketFactory server(Loopback(), AnyPort(CInternetPort::UDP), CInternetAddress(), CInternetPort());
    CClientSocketFactory client(Loopback(), AnyPort(CInternetPort::UDP), Loopback(), server.GetBoundPort());
    Connection request;
    ASSERT_TRUE(client.Connect(request));
    EXPECT_EQ(request->SendLine("status\r\nrest"), 0u);
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { request->SendLine("again\r\n"); }),
              "Connected datagram client socket can only be sent to once");
    std::string line;
    EXPECT_EQ(ThrownMessage([&] { request->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line); }),
              "Connected datagram client socket can not be used for receiving");

    Connection received;
    ASSERT_TRUE(WaitUntil([&] { return server.Connect(received); }));
    EXPECT_EQ(received->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 7u);
    EXPECT_EQ(line, "status");
    EXPECT_EQ(ThrownMessage([&] { received->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line); }),
              "An attempt to read a line from a connected datagram server socket fails, the remaining 4 bytes do not "
              "contain a properly terminated line of text");
    char buffer[8];
    EXPECT_EQ(ThrownMessage([&] { received->Recv(buffer, 8, CConnectedSocket::xferEXACT, nullptr); }),
              "An attempt to read 8 bytes from a connected datagram server socket fails, only 4 is available");
    EXPECT_EQ(received->Recv(buffer, 8, CConnectedSocket::xferUPTO, nullptr), 4u);
    EXPECT_EQ(ThrownMessage([&] { received->Send("x", 1); }),
              "Connected datagram server socket can not be used for sending");
}

TEST(WaitForSockets, WakesWhenAByteArrivesAndNotBefore) {
    Pair pair;
    std::string line;
    EXPECT_EQ(pair.serverEnd->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line), 0u);
    CSocketWait idle = pair.serverEnd->GetWait();
    EXPECT_EQ(idle.directions, CSocketWait::kRead);
    EXPECT_FALSE(idle.readyNow);
    std::vector<CSocketWait> waits{idle, pair.clientEnd->GetWait()};
    EXPECT_EQ(WaitForSockets(waits, 50), 0u);  // nothing sent: the whole time passes

    std::atomic<bool> sent{false};
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        sent = true;
        pair.clientEnd->SendLine("x\r\n");
        pair.clientEnd->Send(nullptr, 0);
    });
    waits = {pair.serverEnd->GetWait()};
    auto start = std::chrono::steady_clock::now();
    uint32_t ready = WaitForSockets(waits, 20000);
    auto waited = std::chrono::steady_clock::now() - start;
    bool wasSent = sent;
    writer.join();
    EXPECT_EQ(ready, 1u);
    EXPECT_TRUE(wasSent);
    EXPECT_EQ(waits[0].ready, CSocketWait::kRead);
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(RecvLine(*pair.serverEnd), "x");

    // A pending output waits for writability; a line already buffered needs no wait at all.
    Send(*pair.clientEnd, "a\r\nb\r\n");
    EXPECT_EQ(RecvLine(*pair.serverEnd), "a");
    EXPECT_TRUE(pair.serverEnd->GetWait().readyNow);
    pair.serverEnd->SendLine("+OK\r\n");
    EXPECT_EQ(pair.serverEnd->GetWait().directions, CSocketWait::kWrite);
    waits = {pair.serverEnd->GetWait()};
    EXPECT_EQ(WaitForSockets(waits, 20000), 1u);
    EXPECT_EQ(waits[0].ready, CSocketWait::kWrite);
}
