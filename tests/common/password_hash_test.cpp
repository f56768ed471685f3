// Password rules and crypt hashes: what a password may be, and that a hash made here, or one
// of SHA512-CRYPT, checks its own password only.
#include "common/password_hash.h"

#include <gtest/gtest.h>

using namespace Ovrin;

TEST(PasswordHash, PasswordRuleTakesSpacesAndEightBitBytesUpTo256Bytes) {
    const struct {
        std::string password;
        bool accepted;
    } cases[] = {
        {"secret", true},
        {"p@ss word with  spaces ", true},
        {"\xc3\xa9t\xc3\xa9", true},
        {std::string(256, 'p'), true},
        {std::string(257, 'p'), false},
        {"", false},
        {"tab\there", false},
        {"del\x7f", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PasswordProblem(c.password).empty(), c.accepted) << c.password;
}

TEST(PasswordHash, CryptHashesCheckTheirOwnPasswordOnly) {
    const std::string hash = CryptHash("two words");
    EXPECT_EQ(hash.rfind("$y$", 0), 0u) << hash;
    EXPECT_NE(CryptHash("two words"), hash);  // a new salt each time
    EXPECT_TRUE(CheckCryptHash("two words", hash));
    EXPECT_FALSE(CheckCryptHash("two words ", hash));
    EXPECT_FALSE(CheckCryptHash("Two words", hash));
    // SHA512-CRYPT of "secret" with the salt "saltsalt", as made by `openssl passwd -6`.
    const std::string sha512 =
        "$6$saltsalt$TVLlQcbpFVof5W3Yz4DTP6gRstiNuHwwTt6GLc1E5n0U0aDehy0S5knV8wiOQSpT0Y77vwPZN.Pq.H91p5hVO1";
    EXPECT_TRUE(IsAcceptedCryptHash(sha512));
    EXPECT_TRUE(CheckCryptHash("secret", sha512));
    EXPECT_FALSE(CheckCryptHash("secreT", sha512));
    // Old and weak methods are not taken, even when the password fits.
    const std::string md5 = "$1$saltsalt$9xy1btjgzLYfb7hivXtC//";
    EXPECT_FALSE(IsAcceptedCryptHash(md5));
    EXPECT_FALSE(CheckCryptHash("secret", md5));
    EXPECT_FALSE(CheckCryptHash("secret", ""));
}
