// Hashing and checking through crypt_r with a work area per call (32 KiB, so on the heap), which
// threads never share.
#include "common/password_hash.h"

#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

constexpr size_t kMaxPassword = 256;
constexpr size_t kSaltBytes = 16;

// Fills the buffer from getrandom, which blocks only until the kernel's pool is first seeded.
void SecureRandom(char* buffer, size_t length) {
    size_t filled = 0;
    while (filled < length) {
        const ssize_t got = getrandom(buffer + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw CMessageException("getrandom() failed, errno=%d", errno);
        }
        filled += static_cast<size_t>(got);
    }
}

}  // namespace

std::string PasswordProblem(const std::string& password) {
    if (password.empty())
        return "The password is empty";
    if (password.size() > kMaxPassword)
        return "The password is longer than 256 bytes";
    for (unsigned char c : password) {
        if (c < 0x20 || c == 0x7F)
            return "The password contains a control character";
    }
    return std::string();
}

bool IsAcceptedCryptHash(const std::string& hash) {
    return hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0;
}

std::string CryptHash(const std::string& password) {
    return Traced([&] {
        char random[kSaltBytes];
        SecureRandom(random, sizeof random);
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (crypt_gensalt_rn("$y$", 0, random, sizeof random, setting, sizeof setting) == nullptr)
            throw CMessageException("crypt_gensalt_rn() failed, errno=%d", errno);
        auto area = std::make_unique<crypt_data>();
        const char* hash = crypt_r(password.c_str(), setting, area.get());
        if (hash == nullptr || hash[0] == '*')
            throw CMessageException("crypt_r() failed, errno=%d", errno);
        return std::string(hash);
    }, "CryptHash()");
}

bool CheckCryptHash(const std::string& password, const std::string& hash) {
    if (!IsAcceptedCryptHash(hash))
        return false;
    auto area = std::make_unique<crypt_data>();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), area.get());
    if (computed == nullptr || computed[0] == '*')
        return false;
    // Compared in full whatever the first difference, so that the time tells nothing.
    const size_t length = std::strlen(computed);
    if (length != hash.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned char>(computed[i] ^ hash[i]);
    return difference == 0;
}

}  // namespace Ovrin
