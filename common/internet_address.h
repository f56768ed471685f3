// CInternetAddress: an IPv4 address with its numeric and its symbolic form, resolved forwards
// (a name to one of its addresses, chosen at random) or backwards (an address to its name).
#pragma once

#include <cstdint>
#include <string>

namespace Ovrin {

class CInternetAddress {
public:
    // Network-order value of an address not yet known.
    static constexpr uint32_t kUnknown = 0xFFFFFFFF;

    // 0.0.0.0 (any), without a look-up; the form used for "no filter".
    CInternetAddress();
    // From a host-order number; the name is the reverse look-up's, or the dotted form.
    explicit CInternetAddress(uint32_t hostOrder);
    // From a dotted address (taken as it is) or a host name (replaced by its official name).
    explicit CInternetAddress(const std::string& name);
    // From a host-order number, named by its dotted form, without any look-up.
    static CInternetAddress FromNumber(uint32_t hostOrder);

    void ResolveIP();
    void ResolveName();

    // Network byte order.
    uint32_t GetAddress() const { return address; }
    uint32_t GetHostOrderAddress() const;
    const std::string& GetName() const { return name; }
    std::string GetDottedAddress() const;
    bool IsAny() const { return address == 0; }

private:
    uint32_t address;
    std::string name;
};

}  // namespace Ovrin
