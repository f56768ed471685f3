// The 32-bit form ("0x%08x") in which trace labels show the objects an operation works on.
#pragma once

#include <cstdint>

namespace Ovrin {

inline unsigned TraceAddress(const void* address) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

}  // namespace Ovrin
