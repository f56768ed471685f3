// The names message files get.
#include "store/message_name.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

using namespace Ovrin;

TEST(MessageName, EachOriginHasItsShape) {
    struct Case {
        std::string name;
        const char* shape;
    } cases[] = {
        {MessageFileName("20261208101010123-0123456789ABCDEF-89ABCDEF"), "20261208101010123-0123456789ABCDEF-89ABCDEF\\.msg"},
        {NewMessageFileName(CMessageOrigin::Downloaded), "\\d{17}%03d\\.msg"},
        {NewMessageFileName(CMessageOrigin::Spooled), "\\d{17}\\.%03d\\.msg"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(boost::regex_match(c.name, boost::regex(c.shape))) << c.name;
}
