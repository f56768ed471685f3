// CServerExchange over the satellite's pipes: a poll bounds each wait for the reply.
#include "service/server_exchange.h"

#include <chrono>

#include "common/log.h"
#include "common/trace.h"

namespace Ovrin {

std::string CServerExchange::Exchange(const std::shared_ptr<CSatelliteProcess>& to, const std::string& line,
                                      uint32_t milliseconds) {
    return Traced([&] {
        if (to != server) {
            server = to;
            received.clear();
            owed = 0;
        }
        const std::string command = line + "\r\n";
        server->Write(command.data(), static_cast<uint32_t>(command.size()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            for (size_t end; (end = received.find("\r\n")) != std::string::npos;) {
                std::string reply = received.substr(0, end + 2);
                received.erase(0, end + 2);
                if (owed == 0)
                    return reply;
                --owed;
                Logger().Warning("CServerExchange: dropped the server's late reply %s",
                                 reply.substr(0, reply.size() - 2).c_str());
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !server->WaitForOutput(static_cast<uint32_t>(left.count()))) {
                ++owed;
                Logger().Warning("CServerExchange: no reply from the server to '%s' within %u ms", line.c_str(),
                                 milliseconds);
                return std::string();
            }
            uint32_t length = 0;
            std::shared_ptr<uint8_t[]> bytes = server->Read(length);
            if (length == 0) {
                // The server's output has ended: no reply can complete any more.
                std::string rest = owed == 0 ? received : std::string();
                received.clear();
                return rest;
            }
            received.append(reinterpret_cast<const char*>(bytes.get()), length);
        }
    }, "CServerExchange::Exchange('%s')", line.c_str());
}

}  // namespace Ovrin
