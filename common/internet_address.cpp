// Look-ups go through getaddrinfo and getnameinfo, which are thread-safe; IPv4 only, so a name
// that has only IPv6 addresses fails like any name that does not resolve.
#include "common/internet_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/network.h"
#include "common/random.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

// The error number a resolver failure reports: errno for a system failure, else its own code.
int ResolverError(int result) { return result == EAI_SYSTEM ? errno : result; }

struct CAddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

CInternetAddress::CInternetAddress() : address(0), name("0.0.0.0") {}

CInternetAddress::CInternetAddress(uint32_t hostOrder) : address(htonl(hostOrder)) {
    name = GetDottedAddress();
    ResolveIP();
}

CInternetAddress::CInternetAddress(const std::string& name) : address(kUnknown), name(name) { ResolveName(); }

CInternetAddress CInternetAddress::FromNumber(uint32_t hostOrder) {
    CInternetAddress result;
    result.address = htonl(hostOrder);
    result.name = result.GetDottedAddress();
    return result;
}

uint32_t CInternetAddress::GetHostOrderAddress() const { return ntohl(address); }

std::string CInternetAddress::GetDottedAddress() const {
    uint32_t a = ntohl(address);
    return Format("%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}

void CInternetAddress::ResolveName() {
    const std::string queried = name;  // the name changes below; the trace shows the one asked for
    Traced([&] {
        Network();
        in_addr parsed{};
        if (inet_aton(name.c_str(), &parsed) != 0) {
            address = parsed.s_addr;
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        int result = getaddrinfo(name.c_str(), nullptr, &hints, &found);
        if (result != 0)
            throw CMessageException("Unable to resolve DNS name '%s', WSAGetLastError=%d", name.c_str(),
                                    ResolverError(result));
        std::unique_ptr<addrinfo, CAddrInfoDeleter> hold(found);
        if (found->ai_canonname != nullptr && *found->ai_canonname != '\0')
            name = found->ai_canonname;
        std::vector<uint32_t> addresses;
        for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET || entry->ai_addrlen != sizeof(sockaddr_in))
                throw CMessageException("DNS name '%s' got resolved to an address %d bytes in size", queried.c_str(),
                                        entry->ai_family == AF_INET6 ? 16 : static_cast<int>(entry->ai_addrlen));
            addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        }
        if (addresses.empty())
            throw CMessageException("DNS query for '%s' succeeded but returned an empty list of addresses",
                                    queried.c_str());
        address = addresses[Random(static_cast<uint32_t>(addresses.size()))];
    }, "CInternetAddress::ResolveName('%s')", queried.c_str());
}

void CInternetAddress::ResolveIP() {
    Traced([&] {
        Network();
        std::string dotted = GetDottedAddress();
        if (address == 0) {
            // Any address stands for this host.
            char host[256] = {};
            if (gethostname(host, sizeof host - 1) != 0)
                throw CMessageException("Unable to reverse resolve %s, WSAGetLastError=%d", dotted.c_str(), errno);
            name = host;
            return;
        }
        sockaddr_in socketAddress{};
        socketAddress.sin_family = AF_INET;
        socketAddress.sin_addr.s_addr = address;
        char host[NI_MAXHOST];
        int result = getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress, host,
                                 sizeof host, nullptr, 0, NI_NAMEREQD);
        if (result == 0) {
            name = host;
        } else if (result == EAI_NONAME || result == EAI_AGAIN || result == EAI_NODATA) {
            name = dotted;
            Logger().Warning("CInternetAddress::ResolveIP(): DNS name for address '%s' not found, no data or DNS "
                             "server failure", dotted.c_str());
        } else {
            throw CMessageException("Unable to reverse resolve %s, WSAGetLastError=%d", dotted.c_str(),
                                    ResolverError(result));
        }
    }, "CInternetAddress::ResolveIP(%s)", GetDottedAddress().c_str());
}

}  // namespace Ovrin
