// CNameValueMap and CConfig: the locked map, validated parameter names, loading config.xml
// and the header fields made from the configuration.
#include "server/core/config.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "server/message/message_header.h"
#include "tests/support/log_capture.h"
#include "tests/support/server_home.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::TempDir;

TEST(NameValueMap, SetReplacesAndMissingNamesThrow) {
    CNameValueMap map;
    map.SetValue("a", "1");
    map.SetValue("a", "2 with blanks");
    EXPECT_EQ(map.GetValue("a"), "2 with blanks");
    EXPECT_TRUE(map.HasValue("a"));
    EXPECT_FALSE(map.HasValue("A"));
    LogCapture log;
    try {
        map.GetValue("b");
        FAIL() << "no exception";
    } catch (const CMessageException& e) {
        EXPECT_STREQ(e.what(), "Value for name 'b' is not found in the map");
    }
    EXPECT_THROW(map.DelValue("b"), CMessageException);
    EXPECT_EQ(log.LinesWith("ERROR CNameValueMap::GetValue('b'): Value for name 'b' is not found in the map").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CNameValueMap::DelValue('b'): Value for name 'b' is not found in the map").size(), 1u);
    map.DelValue("a");
    EXPECT_FALSE(map.HasValue("a"));
}

TEST(NameValueMap, TakeValueHandsAnEntryToOneTakerOnly) {
    CNameValueMap map;
    map.SetValue("x.msg", "work");
    std::vector<std::optional<std::string>> taken(8);
    std::vector<std::thread> threads;
    for (auto& slot : taken)
        threads.emplace_back([&map, &slot] { slot = map.TakeValue("x.msg"); });
    for (auto& thread : threads)
        thread.join();
    int got = 0;
    for (const auto& slot : taken)
        got += slot.has_value() && *slot == "work";
    EXPECT_EQ(got, 1);
    EXPECT_FALSE(map.HasValue("x.msg"));
}

TEST(NameValueMap, ForEachVisitsInByteOrder) {
    CNameValueMap map;
    for (const char* name : {"b", "a-b", "B", "a_b", "a"})
        map.SetValue(name, "v");
    std::vector<std::string> names;
    map.ForEachValue([&](const std::string& name, const std::string&) { names.push_back(name); });
    EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "a-b", "a_b", "b"}));
    map.ClearValues();
    names.clear();
    map.ForEachValue([&](const std::string& name, const std::string&) { names.push_back(name); });
    EXPECT_TRUE(names.empty());
}

TEST(Config, NamesAreWordsJoinedBySingleHyphens) {
    CConfig config;
    config.SetValue("under_score", "1");
    config.SetValue("a-b-c", "2");
    config.SetValue("x1", "3");
    for (const char* bad : {"", "a--b", "-a", "a-", "a b", "a.b", "ä"}) {
        LogCapture log;
        try {
            config.SetValue(bad, "v");
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid name for a configuration parameter: '") + bad + "'");
        }
        EXPECT_FALSE(config.HasValue(bad));
    }
    EXPECT_EQ(config.GetValue("under_score"), "1");
}

namespace {

std::string WriteConfig(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& params) {
    std::string text = "<config><params>";
    for (const auto& [name, value] : params)
        text += "<param name=\"" + OvrinTest::XmlAttribute(name) + "\" value=\"" + OvrinTest::XmlAttribute(value) + "\"/>";
    text += "</params><other><param name=\"ignored\" value=\"x\"/></other></config>";
    OvrinTest::WriteWholeFile(dir / "config.xml", text);
    return dir / "config.xml";
}

}  // namespace

TEST(Config, LoadReplacesEverythingAndFixesProductAndVersion) {
    TempDir dir;
    CConfig config;
    config.SetValue("stale", "from before");
    config.LoadFromXml(WriteConfig(dir, {{"mail-directory", "/var/mail store"},
                                         {"product-name", "Other"},
                                         {"version", "9"},
                                         {"twice", "first"},
                                         {"twice", "second"}}));
    EXPECT_FALSE(config.HasValue("stale"));
    EXPECT_FALSE(config.HasValue("ignored"));
    EXPECT_EQ(config.GetValue("mail-directory"), "/var/mail store");
    EXPECT_EQ(config.GetValue("product-name"), "Ovrin Mail Filter");
    EXPECT_EQ(config.GetValue("version"), "1.4, built Sep 13 2005 13:05:54");
    EXPECT_EQ(config.GetValue("twice"), "second");
}

TEST(Config, AnInvalidNameStopsTheLoadAfterTheNamesBeforeIt) {
    TempDir dir;
    CConfig config;
    LogCapture log;
    EXPECT_THROW(config.LoadFromXml(WriteConfig(dir, {{"good", "1"}, {"bad--name", "2"}, {"later", "3"}})),
                 CMessageException);
    EXPECT_EQ(config.GetValue("good"), "1");
    EXPECT_FALSE(config.HasValue("later"));
    EXPECT_FALSE(config.HasValue("product-name"));
    EXPECT_EQ(log.LinesWith("CConfig::LoadFromXml('" + dir / "config.xml" +
                            "'): Invalid name for a configuration parameter: 'bad--name'").size(), 1u);
}

TEST(Config, AParamWithoutANameIsAnEmptyInvalidName) {
    TempDir dir;
    OvrinTest::WriteWholeFile(dir / "config.xml", "<config><params><param value=\"v\"/></params></config>");
    CConfig config;
    LogCapture log;
    EXPECT_THROW(config.LoadFromXml(dir / "config.xml"), CMessageException);
    EXPECT_EQ(log.LinesWith("ERROR CConfig::LoadFromXml('" + dir / "config.xml" +
                            "'): Invalid name for a configuration parameter: ''").size(), 1u);
}

TEST(Config, AMissingOrBrokenFileFailsTheLoad) {
    TempDir dir;
    CConfig config;
    LogCapture log;
    EXPECT_THROW(config.LoadFromXml(dir / "missing.xml"), CMessageException);
    OvrinTest::WriteWholeFile(dir / "broken.xml", "<config><params>");
    EXPECT_THROW(config.LoadFromXml(dir / "broken.xml"), CMessageException);
    EXPECT_FALSE(log.LinesWith("Failed to load XML file from '" + dir / "missing.xml" + "'").empty());
    EXPECT_FALSE(log.LinesWith("Failed to load XML file from '" + dir / "broken.xml" + "'").empty());
}

namespace {

struct RecordingHeader {
    std::vector<std::pair<std::string, std::string>> added;
    void AddValue(const std::string& name, const std::string& value) { added.emplace_back(name, value); }
};

}  // namespace

TEST(Config, InsertValuesToHeaderAddsOneFieldPerParameterInNameOrder) {
    TempDir dir;
    CConfig config;
    config.LoadFromXml(WriteConfig(dir, {{"mail-interval-sec", "60"}, {"a_first", "x y"}, {"Z", "z"}}));
    RecordingHeader header;
    config.InsertValuesToHeader(header);
    EXPECT_EQ(header.added, (std::vector<std::pair<std::string, std::string>>{
                                {"x-ovrin-Z", "z"},
                                {"x-ovrin-a_first", "x y"},
                                {"x-ovrin-mail-interval-sec", "60"},
                                {"x-ovrin-product-name", "Ovrin Mail Filter"},
                                {"x-ovrin-version", "1.4, built Sep 13 2005 13:05:54"},
                            }));
}

TEST(Config, ParametersBecomeFieldsAndMacrosOfAMessageHeader) {
    TempDir dir;
    CConfig config;
    config.LoadFromXml(WriteConfig(dir, {{"mail-interval-sec", "60"}, {"mail-directory", "/srv/mail"}}));
    CMessageHeader header("Subject: hello\r\n");
    config.InsertValuesToHeader(header);
    EXPECT_EQ(header.GetValueCount("x-ovrin-mail-interval-sec"), 1u);
    EXPECT_EQ(header.GetValue("x-ovrin-mail-directory", 0), "/srv/mail");
    EXPECT_EQ(header.Apply("{{x-ovrin-product-name}} {{x-ovrin-version}}"),
              "Ovrin Mail Filter 1.4, built Sep 13 2005 13:05:54");
    EXPECT_EQ(header.GetValue("subject", 0), "hello");
}
