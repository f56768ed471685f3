// The compiled-expression cache stays within its bound and hands out one expression per pattern.
#include "server/rules/regex_cache.h"

#include <gtest/gtest.h>

namespace {

using namespace Ovrin;

TEST(RegexCache, HoldsOneExpressionPerPatternAndNeverMoreThanItsBound) {
    auto first = CompiledRegex("^first$", boost::regex::perl);
    EXPECT_EQ(first, CompiledRegex("^first$", boost::regex::perl));
    EXPECT_NE(first, CompiledRegex("^first$", boost::regex::perl | boost::regex::icase));
    for (size_t i = 0; i < 3 * kRegexCacheLimit; ++i) {
        CompiledRegex("^pattern " + std::to_string(i) + "$", boost::regex::perl);
        ASSERT_LE(CompiledRegexCount(), kRegexCacheLimit);
    }
    EXPECT_EQ(CompiledRegexCount(), kRegexCacheLimit);
    // Dropped from the cache, the first pattern still matches through the holders' copy.
    EXPECT_TRUE(boost::regex_match("first", *first));
    EXPECT_THROW(CompiledRegex("(unclosed", boost::regex::perl), boost::regex_error);
    EXPECT_EQ(CompiledRegexCount(), kRegexCacheLimit);
}

}  // namespace
