// The manager's document operations on real files.
#include <gtest/gtest.h>

#include "manager/document.h"
#include "manager/edited_file.h"
#include "tests/support/temp_dir.h"

using Ovrin::TXmlDocument;
using Ovrin::TXmlNode;

namespace {

const char* kRuleset =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ruleset><rules>"
    "<rule id=\"a\"><actions><action handler=\"dispatch\" mailbox=\"inbox\"/></actions></rule>"
    "<rule id=\"b\"/>"
    "<rule id=\"c\"/>"
    "</rules></ruleset>\n";

std::vector<std::string> Ids(const TXmlDocument& document) {
    std::vector<std::string> ids;
    for (const TXmlNode& rule : document.SelectNodes("/ruleset/rules/rule"))
        ids.push_back(rule.SelectSingleNode("@id").Text());
    return ids;
}

TEST(XmlDocument, EditsAndSavesTheWholeFile) {
    OvrinTest::TempDir dir;
    OvrinTest::WriteWholeFile(dir / "ruleset.xml", kRuleset);
    TXmlDocument document;
    ASSERT_TRUE(document.Load(dir / "ruleset.xml"));

    TXmlNode rules = document.SelectSingleNode("/ruleset/rules");
    TXmlNode first = rules.FirstChild();
    // Relative to a node, and from the top.
    EXPECT_EQ(first.SelectSingleNode("actions/action/@mailbox").Text(), "inbox");
    EXPECT_TRUE(first.SelectSingleNode("/ruleset/rules/rule[@id='c']"));
    EXPECT_FALSE(first.SelectSingleNode("matches"));

    TXmlNode inserted = rules.OwnerDocument().CreateElement("rule");
    TXmlNode id = document.CreateAttribute("id");
    id.SetText("new");
    inserted.SetNamedItem(id);
    rules.InsertBefore(inserted, first.NextSibling());
    rules.AppendChild(rules.RemoveChild(first));  // moved to the end
    EXPECT_EQ(Ids(document), (std::vector<std::string>{"new", "b", "c", "a"}));
    EXPECT_EQ(inserted.ParentNode(), rules);
    EXPECT_TRUE(rules.HasChildNodes());

    TXmlNode replacement = document.CreateAttribute("id");
    replacement.SetText("x & <y> \"z\"");
    inserted.SetNamedItem(replacement);
    EXPECT_EQ(inserted.SelectNodes("@id").size(), 1u);
    TXmlNode description = document.CreateElement("description");
    description.SetText("a < b &amp; c");
    inserted.AppendChild(description);

    document.Save(dir / "ruleset.xml");
    TXmlDocument again;
    ASSERT_TRUE(again.Load(dir / "ruleset.xml"));
    EXPECT_EQ(Ids(again), (std::vector<std::string>{"x & <y> \"z\"", "b", "c", "a"}));
    EXPECT_EQ(again.SelectSingleNode("//description").Text(), "a < b &amp; c");
    EXPECT_EQ(again.SelectSingleNode("/ruleset/rules/rule[4]/actions/action/@handler").Text(), "dispatch");
}

TEST(XmlDocument, MissingOrMalformedFilesDoNotLoad) {
    OvrinTest::TempDir dir;
    OvrinTest::WriteWholeFile(dir / "broken.xml", "<config><params></config>");
    TXmlDocument document;
    EXPECT_FALSE(document.Load(dir / "missing.xml"));
    EXPECT_FALSE(document.Load(dir / "broken.xml"));
    EXPECT_FALSE(document.DocumentElement());
}

TEST(XmlDocument, FailingOperationsThrow) {
    OvrinTest::TempDir dir;
    OvrinTest::WriteWholeFile(dir / "ruleset.xml", kRuleset);
    TXmlDocument document;
    ASSERT_TRUE(document.Load(dir / "ruleset.xml"));
    TXmlNode rules = document.SelectSingleNode("/ruleset/rules");
    EXPECT_THROW(document.SelectNodes("/ruleset/[broken"), std::exception);
    EXPECT_THROW(document.SelectNodes("count(//rule)"), std::exception);
    EXPECT_THROW(rules.RemoveChild(document.DocumentElement()), std::exception);
    EXPECT_THROW(rules.FirstChild().AppendChild(rules), std::exception);
    EXPECT_THROW(TXmlNode().Text(), std::exception);
    EXPECT_THROW(document.Save(dir / "no-such-directory/ruleset.xml"), std::exception);
}

// What the server may have written between the load and a save of an edited file: counters
// are taken into the edit where their element is certain, anything else stops the save.
TEST(EditedFile, CatchesUpOnlyWithTheServersCounters) {
    const std::string loaded =
        "<ruleset dispatched-messages=\"1\"><rules>"
        "<rule id=\"a\" dispatched-messages=\"1\"><actions><action handler=\"ruleset\">"
        "<rule id=\"t\" dispatched-messages=\"0\"/></action></actions></rule>"
        "<rule id=\"t\" dispatched-messages=\"0\"/><rule dispatched-messages=\"0\"/><rule dispatched-messages=\"0\"/>"
        "</rules></ruleset>\n";
    struct {
        const char* what;
        std::string written;  // by the server after the load
        bool caughtUp;
        const char* counters;  // of root, a, nested t, t, as the edit holds them afterwards
    } cases[] = {
        {"untouched", loaded, true, "1 1 0 0"},
        {"indented anew", "<ruleset dispatched-messages=\"1\">\n  <rules>\n    <rule id=\"a\" dispatched-messages=\"1\">"
                          "<actions><action handler=\"ruleset\"><rule id=\"t\" dispatched-messages=\"0\"/></action>"
                          "</actions></rule>\n    <rule id=\"t\" dispatched-messages=\"0\"/>\n    <rule "
                          "dispatched-messages=\"0\"/><rule dispatched-messages=\"0\"/>\n  </rules>\n</ruleset>\n",
         true, "1 1 0 0"},
        {"counted", std::string(loaded).replace(loaded.find("\"1\""), 3, "\"7\"").replace(loaded.rfind("id=\"t\" dispatched-messages=\"0\""), 30, "id=\"t\" dispatched-messages=\"5\""),
         true, "7 1 0 5"},
        {"counted without an id that tells", std::string(loaded).replace(loaded.rfind("\"0\""), 3, "\"2\""), false, "1 1 0 0"},
        {"rule learnt", std::string(loaded).replace(loaded.find("<rules>"), 7, "<rules><rule id=\"n\"/>"), false,
         "1 1 0 0"},
        {"gone", "", false, "1 1 0 0"},
    };
    for (const auto& c : cases) {
        OvrinTest::TempDir dir;
        OvrinTest::WriteWholeFile(dir / "ruleset.xml", loaded);
        Ovrin::TEditedFile file(dir / "ruleset.xml", "dispatched-messages");
        ASSERT_TRUE(file.Load());
        file.Document().SelectSingleNode("/ruleset/rules/rule[1]").SetNamedItem(file.Document().CreateAttribute("edited"));
        OvrinTest::WriteWholeFile(dir / "ruleset.xml", c.written);
        EXPECT_EQ(file.CatchUp(), c.caughtUp) << c.what;
        std::string counters;
        for (const char* path : {"/ruleset", "/ruleset/rules/rule[1]", "//action/rule", "/ruleset/rules/rule[2]"})
            counters += (counters.empty() ? "" : " ") + file.Document().SelectSingleNode(path).SelectSingleNode("@dispatched-messages").Text();
        EXPECT_EQ(counters, c.counters) << c.what;
    }
}

}  // namespace
