// The bounded cache: finding refreshes an entry, and inserting beyond the limit drops the
// least recently used one.
#include "common/bounded_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Ovrin::CBoundedCache;

TEST(BoundedCache, DropsTheLeastRecentlyUsedBeyondItsLimitAndKeepsTheFirstValueOfAKey) {
    CBoundedCache<std::string, int> cache(3);
    cache.Insert("a", 1);
    cache.Insert("b", 2);
    cache.Insert("c", 3);
    ASSERT_NE(cache.Find("a"), nullptr);  // "b" is now the least recently used
    EXPECT_EQ(cache.Insert("a", 10), 1);  // a held key keeps its value
    cache.Insert("d", 4);
    EXPECT_EQ(cache.Size(), 3u);
    EXPECT_EQ(cache.Find("b"), nullptr);
    for (const char* kept : {"a", "c", "d"})
        EXPECT_NE(cache.Find(kept), nullptr) << kept;
    cache.Insert("e", 5);  // "a" was found before "c" and "d": it goes now
    EXPECT_EQ(cache.Find("a"), nullptr);
    EXPECT_EQ(*cache.Find("e"), 5);
    cache.Clear();
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_EQ(cache.Find("e"), nullptr);
}

}  // namespace
