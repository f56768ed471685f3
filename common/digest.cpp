// The SHA-1 digests: the short folded hash and the hex digest.
#include "common/digest.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>

#include "common/format.h"

namespace Ovrin {

namespace {

// Fetched once: SHA1() looks the algorithm up again at every call, which costs more than
// hashing a message header.
const EVP_MD* Sha1Method() {
    static EVP_MD* method = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return method;
}

std::array<unsigned char, SHA_DIGEST_LENGTH> Sha1(const void* data, size_t length) {
    std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
    if (const EVP_MD* method = Sha1Method(); method && EVP_Digest(data, length, digest.data(), nullptr, method, nullptr))
        return digest;
    SHA1(static_cast<const unsigned char*>(data), length, digest.data());
    return digest;
}

}  // namespace

std::string ShortHash(const void* data, size_t length) {
    auto digest = Sha1(data, length);
    uint32_t w[5];
    for (int i = 0; i < 5; ++i)
        w[i] = uint32_t(digest[4 * i]) | uint32_t(digest[4 * i + 1]) << 8 |
               uint32_t(digest[4 * i + 2]) << 16 | uint32_t(digest[4 * i + 3]) << 24;
    return Format("%08X%08X", w[0] ^ w[1] ^ w[2], w[2] ^ w[3] ^ w[4]);
}

std::string HexDigest(const void* data, size_t length) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : Sha1(data, length)) {
        text += hex[byte >> 4];
        text += hex[byte & 0xF];
    }
    return text;
}

}  // namespace Ovrin
