// Pair: the two ends of one loopback TCP connection, made by a client and a server socket
// factory, with the small steps the tests of connected sockets take on them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/connected_socket.h"
#include "common/socket_factory.h"

namespace OvrinTest {

using Connection = std::shared_ptr<Ovrin::CConnectedSocket>;

const Ovrin::CInternetAddress& Loopback();
Ovrin::CInternetPort AnyPort(int protocol = Ovrin::CInternetPort::TCP);

// Steps a client factory and a server factory until both delivered their end.
void Connect(Ovrin::CClientSocketFactory& client, Ovrin::CServerSocketFactory& server, Connection& clientEnd,
             Connection& serverEnd);

struct Pair {
    Ovrin::CServerSocketFactory server{Loopback(), AnyPort(), Ovrin::CInternetAddress(), Ovrin::CInternetPort()};
    Ovrin::CClientSocketFactory client{Loopback(), AnyPort(), Loopback(), server.GetBoundPort()};
    Connection clientEnd, serverEnd;
    Pair() { Connect(client, server, clientEnd, serverEnd); }
};

// Sends until nothing is pending.
void Flush(Ovrin::CConnectedSocket& connection);
void Send(Ovrin::CConnectedSocket& connection, const std::string& bytes);
// The next line, waited for.
std::string RecvLine(Ovrin::CConnectedSocket& connection);
// Reads lines until a read throws, running the step before each read; the reason, or empty
// when none was thrown within the time.
std::string RecvFailure(Ovrin::CConnectedSocket& connection, const std::function<void()>& step = nullptr);

}  // namespace OvrinTest
