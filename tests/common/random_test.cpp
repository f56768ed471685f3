// Random draws within their limit, and GUIDs in the standard text form.
#include "common/random.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <set>

using namespace Ovrin;

TEST(Random, StaysBelowTheLimitAndCoversIt) {
    SeedThreadRandom(7);
    std::set<uint32_t> seen;
    for (int i = 0; i < 5000; ++i) {
        uint32_t value = Random(1000);
        ASSERT_LT(value, 1000u);
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 900u);
}

TEST(Random, IsReproducibleFromTheThreadSeedAndUsesThreeDraws) {
    unsigned seed = 99;
    uint32_t r1 = static_cast<uint32_t>(rand_r(&seed)), r2 = static_cast<uint32_t>(rand_r(&seed)),
             r3 = static_cast<uint32_t>(rand_r(&seed));
    SeedThreadRandom(99);
    EXPECT_EQ(Random(0), ((r1 & 0xFFF) << 12) | (r2 << 24) | (r3 & 0xFFF));
}

TEST(CreateGUID, GivesDistinctLowerCaseUuids) {
    const boost::regex form("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string guid = CreateGUID();
        EXPECT_TRUE(boost::regex_match(guid, form)) << guid;
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 100u);
}
