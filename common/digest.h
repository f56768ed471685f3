// SHA-1 based digests: the short folded hash of file names and script names, and the hex
// digest of password hashes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Ovrin {

// SHA-1 folded into two words, as 16 upper-case hex digits.
std::string ShortHash(const void* data, size_t length);
inline std::string ShortHash(std::string_view text) { return ShortHash(text.data(), text.size()); }

// SHA-1 as 40 lower-case hex digits.
std::string HexDigest(const void* data, size_t length);
inline std::string HexDigest(std::string_view text) { return HexDigest(text.data(), text.size()); }

}  // namespace Ovrin
