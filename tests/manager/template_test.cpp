// The template interpreter on small documents: each case applies one template to one node and
// compares the whole document and the node returned.
#include <gtest/gtest.h>

#include "manager/document.h"
#include "manager/ruleset_templates.h"
#include "manager/template.h"
#include "tests/support/temp_dir.h"

namespace {

using Ovrin::TXmlDocument;
using Ovrin::TXmlNode;

// name(attr=value,...)[children], text children as "text".
std::string Render(const TXmlNode& node) {
    if (!node.IsElement())
        return "\"" + node.Text() + "\"";
    std::string out = node.Name();
    std::string attributes;
    for (const TXmlNode& attribute : node.SelectNodes("@*"))
        attributes += (attributes.empty() ? "" : ",") + attribute.Name() + "=" + attribute.Text();
    if (!attributes.empty())
        out += "(" + attributes + ")";
    std::string children;
    for (TXmlNode child = node.FirstChild(); child; child = child.NextSibling())
        children += Render(child);
    if (!children.empty())
        out += "[" + children + "]";
    return out;
}

struct TCase {
    const char* what;
    const char* xml;
    const char* start;  // XPath of the start node
    std::string templateText;
    const char* document;
    const char* result;  // Render of the returned node's name and attributes only
};

const std::string kNewRule = "rule(id=,trainable=false,description=New rule,enabled=false,"
                             "expires={{x-ovrin-expires-never}},apply-header=true,dispatched-messages=0)[matchesactions]";

const TCase kCases[] = {
    {"an escaped slash stays in the value", "<r/>", "/r", "a=x\\/y", "r[a[\"x/y\"]]", "a"},
    {"steps and values are trimmed", "<r/>", "/r", "  a = x y / @b = 1 = 2 / .. ", "r[a(b=1 = 2)[\"x y\"]]", "r"},
    {"!matches moves into the existing element and ignores its value",
     "<rule><matches>old</matches></rule>", "/rule", "!matches=new/match/@handler=any",
     "rule[matches[\"old\"match(handler=any)]]", "match"},
    {"!actions creates the element when missing", "<rule><matches/></rule>", "/rule",
     "!actions/action/@handler=dispatch/@mailbox=", "rule[matchesactions[action(handler=dispatch,mailbox=)]]", "action"},
    {">match after the last match is a sibling, not a child",
     "<rule><matches><match handler=\"regex\"/></matches></rule>", "/rule/matches/match[last()]", ">match/@handler=any",
     "rule[matches[match(handler=regex)match(handler=any)]]", "match"},
    {">match before a following sibling", "<m><a/><b/></m>", "/m/a", ">x=ignored", "m[axb]", "x"},
    {"<rule goes before the current node and takes its value", "<m><a/></m>", "/m/a", "<x=v", "m[x[\"v\"]a]", "x"},
    {"- removes every child", "<m k=\"1\"><a/>t<b/></m>", "/m", "-/c", "m(k=1)[c]", "c"},
    {"an attribute is replaced, not doubled", "<m k=\"1\"/>", "/m", "@k=2", "m(k=2)", "m"},
    {"a new rule into an empty rule list", "<ruleset><rules/></ruleset>", "/ruleset/rules",
     Ovrin::RulesetTemplates::kRuleIntoEmptyList, nullptr, "rule"},
    {"a new rule before the first of a non-empty list", "<ruleset><rules><rule id=\"old\"/></rules></ruleset>",
     "/ruleset/rules/rule[1]", Ovrin::RulesetTemplates::kRuleAtStart, nullptr, "rule"},
    {"a new rule after a rule", "<ruleset><rules><rule id=\"a\"/><rule id=\"b\"/></rules></ruleset>",
     "/ruleset/rules/rule[1]", Ovrin::RulesetTemplates::kRuleAfter, nullptr, "rule"},
};

std::string Expected(const TCase& c) {
    if (c.document)
        return c.document;
    std::string xml = c.xml;
    if (xml.find("rule id=\"b\"") != std::string::npos)
        return "ruleset[rules[rule(id=a)" + kNewRule + "rule(id=b)]]";
    if (xml.find("rule id=\"old\"") != std::string::npos)
        return "ruleset[rules[" + kNewRule + "rule(id=old)]]";
    return "ruleset[rules[" + kNewRule + "]]";
}

TEST(ApplyTemplate, ActsOnEveryKindOfStep) {
    for (const TCase& c : kCases) {
        SCOPED_TRACE(c.what);
        OvrinTest::TempDir dir;
        OvrinTest::WriteWholeFile(dir / "t.xml", c.xml);
        TXmlDocument document;
        ASSERT_TRUE(document.Load(dir / "t.xml"));
        TXmlNode start = document.SelectSingleNode(c.start);
        ASSERT_TRUE(start);
        TXmlNode result = Ovrin::ApplyTemplate(start, c.templateText);
        EXPECT_EQ(Render(document.DocumentElement()), Expected(c));
        EXPECT_EQ(result.Name(), c.result);
    }
}

TEST(ApplyTemplate, ReturnsTheNewNodeForTheEditorToShow) {
    OvrinTest::TempDir dir;
    OvrinTest::WriteWholeFile(dir / "t.xml", "<rule><actions><action handler=\"dispatch\"/></actions></rule>");
    TXmlDocument document;
    ASSERT_TRUE(document.Load(dir / "t.xml"));
    // An insert action brings its subordinate rule and ends back on the action.
    TXmlNode action = Ovrin::ApplyTemplate(document.SelectSingleNode("/rule/actions/action"),
                                           Ovrin::RulesetTemplates::kActions[3].afterLast);
    EXPECT_EQ(action.SelectSingleNode("@method").Text(), "insert-before");
    EXPECT_TRUE(action.SelectSingleNode("@reference"));
    EXPECT_EQ(action.SelectSingleNode("rule/@description").Text(), "New subordinate rule");
    EXPECT_EQ(action.SelectNodes("/rule/actions/action").size(), 2u);
    EXPECT_THROW(Ovrin::ApplyTemplate(TXmlNode(), "a"), std::exception);
}

}  // namespace
