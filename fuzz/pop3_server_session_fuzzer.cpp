// Fuzzes the POP3 server session: the input is what a client sends, fed to a real session over
// a loopback connection as the session reads it; the replies are read and dropped. The mail
// store is a temporary one with the user "ann" (password "secret") and three messages, so that
// logins, listings, streaming and QUIT's deletions are all reachable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "common/connected_socket.h"
#include "common/socket_factory.h"
#include "common/xml_document.h"
#include "fuzz/fuzz_check.h"
#include "server/core/config.h"
#include "server/pop3/pop3_server_session.h"

using namespace Ovrin;
namespace fs = std::filesystem;

namespace {

const fs::path& Mailbox() {
    static const fs::path mailbox = [] {
        char pattern[] = "/tmp/ovrin-pop3-fuzz-XXXXXX";
        const fs::path home = mkdtemp(pattern);
        fs::create_directories(home / "ann/mail");
        std::ofstream(home / "ann/user.xml")
            << "<user><params/><pop3-server><authentication handler=\"plaintext\" password=\"secret\"/>"
               "</pop3-server><pop3-clients/></user>\n";
        Config().SetValue("mail-directory", home.string());
        Config().SetValue("product-name", "Ovrin");
        Config().SetValue("version", "fuzz");
        Config().SetValue("pop3-auth-failure-delay-ms", "0");
        XMLInstallErrorHandler();
        return home / "ann/mail";
    }();
    return mailbox;
}

// Puts back what an earlier input's QUIT deleted.
void FillMailbox() {
    const char* const messages[] = {"A: 1\r\n\r\nbody\r\n.\r\n", "B: 2\n\nlf only\n", "no blank line"};
    for (int i = 0; i < 3; ++i) {
        const fs::path path = Mailbox() / (std::to_string(i) + ".msg");
        if (!fs::exists(path))
            std::ofstream(path) << messages[i];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FillMailbox();
    const CInternetAddress loopback("127.0.0.1");
    CServerSocketFactory server(loopback, CInternetPort(uint16_t(0), CInternetPort::TCP), CInternetAddress(),
                                CInternetPort());
    CClientSocketFactory client(loopback, CInternetPort(uint16_t(0), CInternetPort::TCP), loopback,
                                server.GetBoundPort());
    std::shared_ptr<CConnectedSocket> clientEnd, serverEnd;
    for (int i = 0; i < 1000 && !(clientEnd && serverEnd); ++i) {
        if (!clientEnd)
            client.Connect(clientEnd);
        if (!serverEnd)
            server.Connect(serverEnd);
    }
    FUZZ_CHECK(clientEnd && serverEnd);
    for (auto& end : {serverEnd, clientEnd}) {
        end->SetBlocking(false);
        end->SetInactivityTimeout(60);
    }
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string replies;
    try {
        CPOP3ServerConnection session(serverEnd);
        // Bounded: a session that waits for more input than there is stops being stepped.
        int idle = 0;
        for (int step = 0; step < 200000 && idle < 200; ++step) {
            // All at once, then flushed step by step: the connection queues what the network
            // does not take yet.
            clientEnd->Send(input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()));
            clientEnd->Send(nullptr, 0);
            input = std::string_view();
            char buffer[65536];
            const uint32_t got = clientEnd->Recv(buffer, sizeof buffer, CConnectedSocket::xferUPTO, nullptr);
            replies.append(buffer, got);
            bool yield = false;
            if (!session.Process(yield))
                break;
            idle = got == 0 && yield ? idle + 1 : 0;
        }
    } catch (const std::exception&) {
        // A session ended by an error (a line too long) is a session like any other.
    }
    // Whatever was said, the session's end lets the mailbox go.
    FUZZ_CHECK(replies.empty() || replies[0] == '+');
    FUZZ_CHECK(!fs::exists(Mailbox() / ".lock"));
    return 0;
}
