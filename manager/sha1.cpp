// SHA-1 contexts that are always finished, also when an update fails.
#include "manager/sha1.h"

#include <cstdio>
#include <memory>
#include <random>

#include <openssl/evp.h>

#include "common/exception.h"

namespace Ovrin {

namespace {

class TSha1 {
public:
    TSha1() : context(EVP_MD_CTX_new()) {
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1)
            throw CMessageException("sha1_init failed");
    }
    void Update(const void* data, size_t length) {
        if (EVP_DigestUpdate(context.get(), data, length) != 1)
            throw CMessageException("sha1_update failed");
    }
    std::string Final() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
            throw CMessageException("sha1_final failed");
        char text[2 * EVP_MAX_MD_SIZE + 1];
        for (unsigned int i = 0; i < size; ++i)
            std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
        return std::string(text, 2 * size);
    }

private:
    struct TFree {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, TFree> context;
};

}  // namespace

std::string SHA1Hex(const void* data, size_t length) {
    TSha1 sha1;
    sha1.Update(data, length);
    return sha1.Final();
}

void SHA1SelfTest() {
    bool good = SHA1Hex("abc") == "a9993e364706816aba3e25717850c26c9cd0d89d" &&
                SHA1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") ==
                    "84983e441c3bd26ebaae4aa1f95129e5e54670f1";
    if (good) {
        const std::string letters(1024, 'a');
        std::minstd_rand random(std::random_device{}());
        std::uniform_int_distribution<size_t> chunk(1, 1024);
        TSha1 sha1;
        for (size_t left = 1000000; left > 0;) {
            size_t size = std::min(left, chunk(random));
            sha1.Update(letters.data(), size);
            left -= size;
        }
        good = sha1.Final() == "34aa973cd4c4daa4f61eeb2bdbad27316534016f";
    }
    if (!good)
        throw CMessageException("sha1U: sha1.dll hash calculation self-test failed");
}

}  // namespace Ovrin
