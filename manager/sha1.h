// SHA-1 over OpenSSL, with the self-test the manager runs before it starts.
#pragma once

#include <cstddef>
#include <string>

namespace Ovrin {

// The digest as 40 lower-case hex digits.
std::string SHA1Hex(const void* data, size_t length);
inline std::string SHA1Hex(const std::string& text) { return SHA1Hex(text.data(), text.size()); }

// Throws "sha1U: sha1.dll hash calculation self-test failed" on any wrong digest.
void SHA1SelfTest();

}  // namespace Ovrin
