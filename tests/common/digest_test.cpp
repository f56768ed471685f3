// SHA-1 digests against values computed independently (the FIPS 180 test vectors), and the
// folding of the short hash.
#include "common/digest.h"

#include <gtest/gtest.h>

#include "common/format.h"

using namespace Ovrin;

namespace {

// Folds a 40-digit SHA-1 the way the short hash does, from the hex text alone.
std::string FoldHex(const std::string& hex) {
    uint32_t w[5];
    for (int i = 0; i < 5; ++i) {
        uint32_t word = 0;
        for (int b = 3; b >= 0; --b)
            word = word << 8 | static_cast<uint32_t>(std::stoul(hex.substr(8 * i + 2 * b, 2), nullptr, 16));
        w[i] = word;
    }
    return Format("%08X%08X", w[0] ^ w[1] ^ w[2], w[2] ^ w[3] ^ w[4]);
}

}  // namespace

TEST(HexDigest, MatchesTheKnownSha1Values) {
    EXPECT_EQ(HexDigest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(HexDigest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(HexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(HexDigest(std::string("a\0b", 3)), HexDigest(std::string("a\0b", 3)));
    EXPECT_NE(HexDigest(std::string("a\0b", 3)), HexDigest("a"));  // bytes after a NUL count
}

TEST(ShortHash, FoldsTheDigestWordsReadLittleEndian) {
    // SHA-1("") = da39a3ee 5e6b4b0d 3255bfef 95601890 afd80709; words little-endian:
    // EEA339DA, 0D4B6B5E, EFBF5532, 90186095, 0907D8AF.
    EXPECT_EQ(ShortHash(""), "0C5707B676A0ED08");
    EXPECT_EQ(ShortHash(""), FoldHex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    EXPECT_EQ(ShortHash("abc"), FoldHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(ShortHash("abc").size(), 16u);
}
