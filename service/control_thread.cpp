// CControlThread on one poll over the listener and the clients still sending their line; the
// exchange with the server runs for one client at a time.
#include "service/control_thread.h"

#include <unistd.h>

#include <algorithm>

#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/log.h"
#include "common/socket_factory.h"
#include "common/socket_wait.h"
#include "common/trace.h"
#include "service/peer_owner.h"

namespace Ovrin {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

CControlThread::CControlThread(CSatelliteSlot& satellite) : satellite(satellite), serviceUser(::geteuid()) {}

CControlThread::~CControlThread() = default;

void CControlThread::Listen() {
    Traced([&] {
        factory = std::make_unique<CServerSocketFactory>(
            CInternetAddress(kLoopback), CInternetPort(kPort, CInternetPort::TCP), CInternetAddress(kLoopback),
            CInternetPort(0, CInternetPort::TCP));
        factory->SetBlocking(false);
        Logger().Info("CControlThread: listening on %s:%u", kLoopback, static_cast<unsigned>(kPort));
    }, "CControlThread::Listen()");
}

void CControlThread::Execute() {
    while (factory && !IsTerminating() && satellite.Current()) {
        std::vector<CSocketWait> waits{factory->GetWait()};
        for (const CWaiting& client : waiting)
            waits.push_back(client.connection->GetWait());
        WaitForSockets(waits, 100);
        if (waits[0].ready)
            Contained([&] { Accept(); }, "CControlThread::Execute()");
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(waiting, [&](const CWaiting& client) {
            bool done = true;  // a client whose exchange failed sees its connection closed
            Contained([&] { done = Serve(*client.connection); }, "CControlThread::Execute()");
            return done || (now >= client.deadline && !IsTerminating());
        });
    }
    waiting.clear();
    factory.reset();
    while (!IsTerminating())
        Sleep(100);
}

void CControlThread::Accept() {
    std::shared_ptr<CConnectedSocket> connection;
    while (factory->Connect(connection)) {
        const CPeerSocket peer = PeerSocketOf(connection->GetWait().descriptor);
        if (!peer.owner || (*peer.owner != 0 && *peer.owner != serviceUser)) {
            // Closed at once with nothing read: the port is its administrators' alone.
            Logger().Warning("CControlThread: refused the connection from %s of uid %s", peer.address.c_str(),
                             peer.owner ? std::to_string(*peer.owner).c_str() : "unknown");
            connection.reset();
            continue;
        }
        connection->SetBlocking(false);
        connection->SetMaxLineLength(CSatelliteProcess::kMaxWrite - 2);
        if (waiting.size() >= kMaxWaiting)
            waiting.erase(waiting.begin());
        waiting.push_back({std::move(connection), std::chrono::steady_clock::now() + kLineTime});
    }
}

bool CControlThread::Serve(CConnectedSocket& connection) {
    std::string line;
    // A client that closes before a whole line makes Recv throw: no reply, nothing passed on.
    if (connection.Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) == 0)
        return false;
    if (line == "stop")
        return true;
    std::shared_ptr<CSatelliteProcess> server = satellite.Current();
    if (!server)
        return true;
    const std::string reply = exchange.Exchange(server, line, kReplyMilliseconds);
    if (reply.empty())
        return true;
    connection.SetBlocking(true);
    connection.Send(reply.data(), static_cast<uint32_t>(reply.size()));
    while (connection.Send(nullptr, 0) > 0) {
    }
    return true;
}

}  // namespace Ovrin
