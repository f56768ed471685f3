// The typed settings: parsed when set, refused with the parameter and its text, checked at once.
#include "server/core/config.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "tests/support/thrown_message.h"

using namespace Ovrin;

namespace {

std::string Read(const CConfig& config, const std::string& name) {
    const CSettings& settings = config.Settings();
    if (name == "pop3-port")
        return settings.pop3Port.Get();
    if (name == "pop3-messages-per-sync")
        return std::to_string(settings.pop3MessagesPerSync.Get());
    return std::to_string(settings.workerThreadsPerPool.Get());
}

}  // namespace

TEST(Settings, EachTextIsAValueOrARefusalNamingParameterAndText) {
    struct Case {
        const char* name;
        const char* text;
        bool valid;
        const char* value;  // or the refusal after "The configuration parameter <name> is '<text>', it must be "
    } cases[] = {
        {"worker-threads-per-pool", "4", true, "4"},
        {"worker-threads-per-pool", "+4", true, "4"},
        {"worker-threads-per-pool", "ten", false, "a whole number"},
        {"worker-threads-per-pool", "4 ", false, "a whole number"},
        {"worker-threads-per-pool", "", false, "a whole number"},
        {"worker-threads-per-pool", "99999999999", false, "a whole number"},
        {"worker-threads-per-pool", "-1", false, "at least 0"},
        {"worker-threads-per-pool", "1025", false, "at most 1024"},
        {"pop3-messages-per-sync", "0", false, "at least 1"},
        {"pop3-port", "110", true, "110"},
        {"pop3-port", "pop3", true, "pop3"},
        {"pop3-port", "11x00", false, "a port number from 1 to 65535 or a service name"},
        {"pop3-port", "0", false, "a port number from 1 to 65535 or a service name"},
        {"pop3-port", "65536", false, "a port number from 1 to 65535 or a service name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.text);
        CConfig config;  // of its own: the process-wide one stays as the other tests left it
        config.SetValue(c.name, c.text);
        EXPECT_EQ(config.GetValue(c.name), c.text);  // "get config" answers the text as written
        if (c.valid) {
            EXPECT_EQ(Read(config, c.name), c.value);
            EXPECT_NO_THROW(config.CheckSettings());
        } else {
            const std::string refusal =
                std::string("The configuration parameter ") + c.name + " is '" + c.text + "', it must be " + c.value;
            EXPECT_EQ(OvrinTest::ThrownMessage([&] { Read(config, c.name); }), refusal);
            EXPECT_EQ(OvrinTest::ThrownMessage([&] { config.CheckSettings(); }), refusal);
        }
    }
}

TEST(Settings, AMissingParameterFailsWhereItIsReadAndARemovedOneIsForgotten) {
    CConfig config;
    config.SetValue("pop3-port", "11x00");
    config.DelValue("pop3-port");
    EXPECT_NO_THROW(config.CheckSettings());
    EXPECT_EQ(OvrinTest::ThrownMessage([&] { config.Settings().pop3Port.Get(); }),
              "Value for name 'pop3-port' is not found in the map");
    config.SetValue("mail-interval-sec", "ten");
    config.ClearValues();
    EXPECT_NO_THROW(config.CheckSettings());
}
