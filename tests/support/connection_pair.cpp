#include "tests/support/connection_pair.h"

#include <gtest/gtest.h>

#include "tests/support/wait.h"

namespace OvrinTest {

using namespace Ovrin;

const CInternetAddress& Loopback() {
    static const CInternetAddress loopback("127.0.0.1");
    return loopback;
}

CInternetPort AnyPort(int protocol) { return CInternetPort(static_cast<uint16_t>(0), protocol); }

void Connect(CClientSocketFactory& client, CServerSocketFactory& server, Connection& clientEnd,
             Connection& serverEnd) {
    ASSERT_TRUE(WaitUntil([&] {
        if (!clientEnd)
            client.Connect(clientEnd);
        if (!serverEnd)
            server.Connect(serverEnd);
        return clientEnd && serverEnd;
    }));
}

void Flush(CConnectedSocket& connection) {
    ASSERT_TRUE(WaitUntil([&] { return connection.Send(nullptr, 0) == 0; }));
}

void Send(CConnectedSocket& connection, const std::string& bytes) {
    connection.SendLine(bytes);
    Flush(connection);
}

std::string RecvLine(CConnectedSocket& connection) {
    std::string line;
    EXPECT_TRUE(WaitUntil([&] { return connection.Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) > 0; }));
    return line;
}

std::string RecvFailure(CConnectedSocket& connection, const std::function<void()>& step) {
    std::string reason, line;
    WaitUntil([&] {
        if (step)
            step();
        try {
            connection.Recv(nullptr, 0, CConnectedSocket::xferLINE, &line);
            return false;
        } catch (const CMessageException& e) {
            reason = e.what();
            return true;
        }
    });
    return reason;
}

}  // namespace OvrinTest
