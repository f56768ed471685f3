// CInternetPort: a TCP or UDP port with its number and its service name. Names of up to five
// digits below 65536 are numbers; anything else is looked up in the service database.
#pragma once

#include <cstdint>
#include <string>

namespace Ovrin {

class CInternetPort {
public:
    static constexpr int TCP = 1;
    static constexpr int UDP = 2;

    // Port 0 (any) over TCP, without a look-up; the form used for "no filter".
    CInternetPort();
    // The name becomes the registered service's, else the decimal number.
    CInternetPort(uint16_t number, int protocol);
    CInternetPort(const std::string& name, int protocol);

    void ResolvePort();
    void ResolveName();

    // Network byte order.
    uint16_t GetPort() const { return port; }
    uint16_t GetNumber() const;
    const std::string& GetName() const { return name; }
    int GetProtocol() const { return protocol; }
    // "tcp", "udp" or "unknown".
    const char* GetProtocolText() const;
    bool IsAny() const { return port == 0; }

private:
    uint16_t port;
    std::string name;
    int protocol;
};

}  // namespace Ovrin
