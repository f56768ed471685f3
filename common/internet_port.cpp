// Service look-ups use the reentrant getserv*_r functions, safe from any thread.
#include "common/internet_port.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>

#include "common/exception.h"
#include "common/format.h"
#include "common/network.h"
#include "common/trace.h"

namespace Ovrin {

CInternetPort::CInternetPort() : port(0), name("0"), protocol(TCP) {}

CInternetPort::CInternetPort(uint16_t number, int protocol) : port(htons(number)), name(Format("%u", number)),
                                                              protocol(protocol) {
    ResolvePort();
}

CInternetPort::CInternetPort(const std::string& name, int protocol) : port(0), name(name), protocol(protocol) {
    ResolveName();
}

uint16_t CInternetPort::GetNumber() const { return ntohs(port); }

const char* CInternetPort::GetProtocolText() const {
    return protocol == TCP ? "tcp" : protocol == UDP ? "udp" : "unknown";
}

void CInternetPort::ResolvePort() {
    Traced([&] {
        Network();
        servent entry{};
        servent* found = nullptr;
        char scratch[4096];
        if (getservbyport_r(port, GetProtocolText(), &entry, scratch, sizeof scratch, &found) == 0 &&
            found != nullptr)
            name = found->s_name;
        else
            name = Format("%u", GetNumber());
    }, "CInternetPort::ResolvePort(%u)", static_cast<unsigned>(GetNumber()));
}

void CInternetPort::ResolveName() {
    Traced([&] {
        Network();
        bool digits = name.size() <= 5;
        unsigned value = 0;
        for (char c : name) {
            if (c < '0' || c > '9') {
                digits = false;
                break;
            }
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (digits && value < 65536) {
            port = htons(static_cast<uint16_t>(value));
            return;
        }
        servent entry{};
        servent* found = nullptr;
        char scratch[4096];
        errno = 0;
        int result = getservbyname_r(name.c_str(), GetProtocolText(), &entry, scratch, sizeof scratch, &found);
        if (result != 0 || found == nullptr)
            throw CMessageException("getservbyname('%s', %s) failed with WSAGetLastError=%d", name.c_str(),
                                    GetProtocolText(), result != 0 ? result : errno);
        port = static_cast<uint16_t>(found->s_port);
    }, "CInternetPort::ResolveName('%s')", name.c_str());
}

}  // namespace Ovrin
