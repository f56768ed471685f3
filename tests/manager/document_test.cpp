// The manager's document operations on real files.
#include <gtest/gtest.h>

#include "manager/document.h"
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

}  // namespace
