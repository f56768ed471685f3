#include "service/control_thread.h"

#include <memory>
#include <vector>

#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/log.h"
#include "common/socket_factory.h"
#include "common/socket_wait.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

void CControlThread::Wake() {
    try {
        CClientSocketFactory factory(CInternetAddress(kLoopback), CInternetPort(0, CInternetPort::TCP),
                                     CInternetAddress(kLoopback), CInternetPort(kPort, CInternetPort::TCP));
        factory.SetBlocking(true);
        std::shared_ptr<CConnectedSocket> connection;
        factory.Connect(connection);
    } catch (...) {
        // nobody listening: the thread is not waiting for a connection either
    }
}

std::string CControlThread::Exchange(CSatelliteProcess& server, const std::string& line) {
    return Traced([&] {
        const std::string command = line + "\r\n";
        server.Write(command.data(), static_cast<uint32_t>(command.size()));
        std::string reply;
        while (reply.find("\r\n") == std::string::npos) {
            uint32_t length = 0;
            std::shared_ptr<uint8_t[]> bytes = server.Read(length);
            if (length == 0)
                break;  // the server's output has ended: the reply can never complete
            reply.append(reinterpret_cast<const char*>(bytes.get()), length);
        }
        return reply;
    }, "CControlThread::Exchange('%s')", line.c_str());
}

void CControlThread::Execute() {
    std::unique_ptr<CServerSocketFactory> factory;
    const bool listening = Contained([&] {
        factory = std::make_unique<CServerSocketFactory>(
            CInternetAddress(kLoopback), CInternetPort(kPort, CInternetPort::TCP), CInternetAddress(kLoopback),
            CInternetPort(0, CInternetPort::TCP));
        factory->SetBlocking(true);
    }, "CControlThread::Execute()");
    if (listening)
        Logger().Info("CControlThread: listening on %s:%u", kLoopback, static_cast<unsigned>(kPort));
    while (listening && !IsTerminating() && satellite.Current()) {
        bool served = Contained([&] {
            std::shared_ptr<CConnectedSocket> connection;
            if (factory->Connect(connection) && !IsTerminating())
                Serve(*connection);
        }, "CControlThread::Execute()");
        if (!served)
            Sleep(100);  // the client sees its connection closed without a reply
    }
    factory.reset();
    while (!IsTerminating())
        Sleep(100);
}

void CControlThread::Serve(CConnectedSocket& connection) {
    connection.SetBlocking(false);
    connection.SetInactivityTimeout(kLineSeconds);
    connection.SetMaxLineLength(CSatelliteProcess::kMaxWrite - 2);
    std::string line;
    // A client that closes before a whole line makes Recv throw: no reply, nothing passed on.
    while (connection.Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) == 0) {
        if (IsTerminating())
            return;
        std::vector<CSocketWait> waits{connection.GetWait()};
        WaitForSockets(waits, 100);
    }
    if (line == "stop")
        return;
    std::shared_ptr<CSatelliteProcess> server = satellite.Current();
    if (!server)
        return;
    const std::string reply = Exchange(*server, line);
    if (reply.empty())
        return;
    connection.SetBlocking(true);
    connection.Send(reply.data(), static_cast<uint32_t>(reply.size()));
    while (connection.Send(nullptr, 0) > 0) {
    }
}

}  // namespace Ovrin
