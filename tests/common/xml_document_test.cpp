// The XML document layer: XMLError's joining of fragments, loading, schema validation, root
// replacement, saving through the temporary copy, XPath results and the text conversions.
#include "common/xml_document.h"

#include <filesystem>
#include <thread>

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/format.h"
#include "tests/support/thrown_message.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::ThrownMessage;
using OvrinTest::LogCapture;
using OvrinTest::ReadWholeFile;
using OvrinTest::TempDir;
using OvrinTest::WriteWholeFile;

namespace {

class XmlTest : public testing::Test {
protected:
    void SetUp() override { XMLStartup(); }

    // A document loaded from the given text through a file.
    std::unique_ptr<CXMLDocument> Load(const std::string& text) {
        WriteWholeFile(dir / "doc.xml", text);
        return std::make_unique<CXMLDocument>(dir / "doc.xml");
    }

    TempDir dir;
};

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const char* kSchema = R"(<?xml version="1.0" encoding="UTF-8"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="user">
    <xs:complexType>
      <xs:sequence>
        <xs:element name="mailbox" type="xs:string" maxOccurs="unbounded"/>
      </xs:sequence>
      <xs:attribute name="name" type="xs:string" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>
)";

}  // namespace

TEST(XMLError, ThreeFragmentsMakeOneErrorLine) {
    LogCapture log;
    XMLError(nullptr, "%s", "doc.xml:3: parser error : ");
    XMLError(nullptr, "Opening and ending tag mismatch: %s line %d", "a", 2);
    XMLError(nullptr, "%s", "\n");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.Lines()[0].ends_with(
        " ERROR XMLError(): doc.xml:3: parser error : Opening and ending tag mismatch: a line 2 "))
        << log.Lines()[0];
}

TEST(XMLError, EmptyFragmentsNeitherJoinNorEndALine) {
    LogCapture log;
    XMLError(nullptr, "%s", "");
    XMLError(nullptr, "first\n");
    XMLError(nullptr, "%s", "");
    XMLError(nullptr, "second\n");
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_TRUE(log.Lines()[0].ends_with(" ERROR XMLError(): first ")) << log.Lines()[0];
    EXPECT_TRUE(log.Lines()[1].ends_with(" ERROR XMLError(): second ")) << log.Lines()[1];
}

TEST_F(XmlTest, LibraryDiagnosticsReachTheLogOnEveryThreadThatInstallsTheHandler) {
    WriteWholeFile(dir / "bad.xml", "<a><b></a>");
    LogCapture log;
    std::string message;
    std::thread worker([&] {
        XMLInstallErrorHandler();
        message = ThrownMessage([&] { CXMLDocument document(dir / "bad.xml"); });
    });
    worker.join();
    EXPECT_EQ(message, "Failed to load XML file from '" + dir / "bad.xml" + "'");
    auto diagnostics = log.LinesWith(" ERROR XMLError(): " + dir / "bad.xml" + ":1: parser error : ");
    EXPECT_FALSE(diagnostics.empty());
    for (const auto& line : log.Lines())
        EXPECT_TRUE(line.find(" ERROR ") != std::string::npos) << "not through the logger: " << line;
    EXPECT_EQ(log.LinesWith(" ERROR CXMLDocument::CXMLDocument('" + dir / "bad.xml" + "'): Failed to load").size(), 1u);
}

TEST_F(XmlTest, AnEmptyNameMakesANewDocumentWithoutTouchingFiles) {
    CXMLDocument document("");
    EXPECT_EQ(document.GetRootNode(), nullptr);
    ASSERT_NE(document.GetDocument(), nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(document.GetDocument()->version), "1.0");
    EXPECT_TRUE(Entries(dir.Path()).empty());
    document.SetRootNode("config");
    document.SaveTo(dir / "config.xml");
    EXPECT_EQ(ReadWholeFile(dir / "config.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config/>\n");
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"config.xml"});
}

TEST_F(XmlTest, LoadingAMissingFileFails) {
    LogCapture log;
    std::string missing = dir / "missing.xml";
    EXPECT_EQ(ThrownMessage([&] { CXMLDocument document(missing); }),
              "Failed to load XML file from '" + missing + "'");
    EXPECT_EQ(log.LinesWith("ERROR CXMLDocument::CXMLDocument('" + missing + "'): Failed to load XML file").size(), 1u);
}

TEST_F(XmlTest, SchemaValidationAcceptsAValidAndRejectsAnInvalidDocument) {
    WriteWholeFile(dir / "user.xsd", kSchema);
    std::string schema = dir / "user.xsd";
    Load("<user name=\"alice\"><mailbox>mail</mailbox><mailbox>spam</mailbox></user>")->Validate(schema);

    LogCapture log;
    auto invalid = Load("<user><mailbox>mail</mailbox><folder/></user>");
    EXPECT_EQ(ThrownMessage([&] { invalid->Validate(schema); }),
              "The document failed to validate against the XML schema at '" + schema + "'");
    EXPECT_EQ(ThrownMessage([&] { invalid->Validate(dir / "missing.xsd"); }), "xmlSchemaParse() failed");
    WriteWholeFile(dir / "broken.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element/>");
    EXPECT_EQ(ThrownMessage([&] { invalid->Validate(dir / "broken.xsd"); }), "xmlSchemaParse() failed");
    EXPECT_FALSE(log.LinesWith("ERROR XMLError(): ").empty());  // the details of the violation
    EXPECT_EQ(log.LinesWith("ERROR CXMLDocument::Validate('" + schema + "'): The document failed").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CXMLDocument::Validate('" + dir / "broken.xsd" + "'): xmlSchemaParse").size(), 1u);
}

TEST_F(XmlTest, SetRootNodeReplacesTheRootInBothForms) {
    auto document = Load("<old><keep>kept</keep><drop/></old>");
    // A node from inside the old root survives the old root being freed.
    xmlNodePtr keep = CXPathContext(*document).Eval("/old/keep")->GetNodePtr();
    ASSERT_NE(keep, nullptr);
    EXPECT_EQ(document->SetRootNode(keep), keep);
    EXPECT_EQ(document->GetRootNode(), keep);
    EXPECT_EQ(document->SetRootNode(keep), keep);  // the current root again: kept, not freed
    EXPECT_EQ(CXPathContext(*document).Eval("/keep")->GetText(), "kept");

    xmlNodePtr fresh = document->SetRootNode("ruleset");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(document->GetRootNode(), fresh);
    EXPECT_STREQ(reinterpret_cast<const char*>(fresh->name), "ruleset");
    EXPECT_EQ(fresh->ns, nullptr);
    EXPECT_EQ(fresh->children, nullptr);
    EXPECT_EQ(CXPathContext(*document).Eval("/keep")->GetNodeCount(), 0);

    xmlNodePtr made = xmlNewNode(nullptr, BAD_CAST "user");
    EXPECT_EQ(document->SetRootNode(made), made);
    document->SaveTo(dir / "out.xml");
    EXPECT_EQ(ReadWholeFile(dir / "out.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<user/>\n");
}

TEST_F(XmlTest, SaveToReplacesTheTargetAndLeavesNoTemporaryCopy) {
    std::string target = dir / "ruleset.xml";
    WriteWholeFile(target, "<old-content-that-is-longer-than-the-new/>");
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("ruleset");
    xmlNewTextChild(root, nullptr, BAD_CAST "rule", BAD_CAST ToXmlText("caf\xC3\xA9\r\nline two").c_str());
    document.SaveTo(target);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"ruleset.xml"});
    EXPECT_EQ(ReadWholeFile(target), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<ruleset><rule>caf\xC3\xA9\nline two</rule></ruleset>\n");
    CXMLDocument reloaded(target);
    EXPECT_EQ(CXPathContext(reloaded).Eval("/ruleset/rule")->GetText(), "caf\xC3\xA9\r\nline two");
}

TEST_F(XmlTest, SaveToNeverOverwritesAnEarlierTemporaryCopy) {
    // Copies left by failed saves hold content that may exist nowhere else.
    std::string target = dir / "user.xml";
    auto taken = [](int n) { return n % 20 != 0; };  // 950 names taken: a single draw almost surely hits one
    for (int n = 0; n < 1000; ++n)
        if (taken(n))
            WriteWholeFile(target + Format(".%03d", n), "recovery");
    CXMLDocument document("");
    document.SetRootNode("user");
    document.SaveTo(target);
    EXPECT_EQ(ReadWholeFile(target), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<user/>\n");
    for (int n = 0; n < 1000; ++n) {
        if (taken(n)) {
            ASSERT_EQ(ReadWholeFile(target + Format(".%03d", n)), "recovery") << n;
        }
    }
    EXPECT_EQ(Entries(dir.Path()).size(), 951u);
}

TEST_F(XmlTest, SaveToATargetThatCannotBeReplacedKeepsTheTemporaryCopy) {
    // A non-empty directory under the target's name: no copy, delete or move gets past it, root or not.
    std::string target = dir / "user.xml";
    std::filesystem::create_directory(target);
    WriteWholeFile(target + "/inside", "");
    CXMLDocument document("");
    document.SetRootNode("user");
    LogCapture log;
    std::string message = ThrownMessage([&] { document.SaveTo(target); });
    boost::smatch match;
    ASSERT_TRUE(boost::regex_match(message, match, boost::regex("Unable to save XML file, temporary copy remains at (.*)")))
        << message;
    std::string temporary = match[1];
    EXPECT_TRUE(boost::regex_match(temporary, boost::regex(boost::regex_replace(target, boost::regex("[./]"), "\\\\$&") +
                                                           "\\.[0-9]{3}")))
        << temporary;
    EXPECT_EQ(ReadWholeFile(temporary), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<user/>\n");
    EXPECT_EQ(log.LinesWith("WARNING CFile::OverwriteFile('" + temporary + "', '" + target + "'): CopyFile() failed")
                  .size(),
              8u);
    EXPECT_EQ(log.LinesWith("WARNING CFile::DeleteFile('" + target + "'): DeleteFile() failed").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CXMLDocument::SaveTo('" + target + "'): Unable to save XML file").size(), 1u);
    EXPECT_EQ(Entries(dir.Path()).size(), 2u);  // the directory and the copy
}

TEST_F(XmlTest, SaveToAMissingDirectoryFailsWithoutLeavingAnything) {
    CXMLDocument document("");
    document.SetRootNode("config");
    std::string target = dir / "missing/config.xml";
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { document.SaveTo(target); }), "Failed to save XML file to '" + target + ".%03d'");
    EXPECT_TRUE(Entries(dir.Path()).empty());
}

TEST_F(XmlTest, EvalFormatsTheExpressionAndSelectsNodes) {
    auto document = Load("<rules><rule name=\"a\">first\nline</rule><rule name=\"b\"><x>one</x><y>two</y></rule></rules>");
    CXPathContext context(*document);
    auto rule = context.Eval("/rules/rule[@name='%s']", "b");
    ASSERT_EQ(rule->GetNodeCount(), 1);
    EXPECT_EQ(rule->GetText(), "onetwo");  // all descendant text
    EXPECT_EQ(context.Eval("rule[%d]", 1)->GetText(), "first\r\nline");  // relative to the root
    EXPECT_EQ(context.Eval("/rules/rule[1]/@name")->GetText(), "a");
    EXPECT_EQ(context.Eval("/rules/rule")->GetNodeCount(), 2);
    EXPECT_EQ(context.Eval("/rules/rule")->GetNode(2), nullptr);

    CXPathContext onNode(rule->GetNodePtr());
    EXPECT_EQ(onNode.Eval("y")->GetText(), "two");
    EXPECT_EQ(onNode.Eval("@name")->GetText(), "b");

    auto nothing = context.Eval("/rules/none");
    EXPECT_EQ(nothing->GetNodePtr(), nullptr);
    EXPECT_EQ(nothing->GetText(), "");
    EXPECT_EQ(nothing->GetNumber(), 0);
}

TEST_F(XmlTest, EvalRejectsResultsThatAreNotNodeSetsAndBrokenExpressions) {
    auto document = Load("<r><n>1</n></r>");
    CXPathContext context(*document);
    LogCapture log;
    EXPECT_EQ(ThrownMessage([&] { context.Eval("count(/r/n)"); }), "Result of evaluation is not a nodeset (type=3)");
    EXPECT_EQ(ThrownMessage([&] { context.Eval("string(/r/n)"); }), "Result of evaluation is not a nodeset (type=4)");
    EXPECT_EQ(ThrownMessage([&] { context.Eval("1 = 1"); }), "Result of evaluation is not a nodeset (type=2)");
    EXPECT_EQ(ThrownMessage([&] { context.Eval("/r[%s", "n"); }), "Failed to evaluate the XPath expression '/r[n'");
    EXPECT_EQ(log.LinesWith("ERROR CXPathContext::Eval('count(/r/n)'): Result of evaluation").size(), 1u);
    EXPECT_EQ(log.LinesWith("ERROR CXPathContext::Eval('/r[n'): Failed to evaluate").size(), 1u);
}

TEST_F(XmlTest, GetNumberTakesOneToTenPlainDigitsOnly) {
    const std::pair<const char*, int32_t> cases[] = {
        {"0", 0}, {"7", 7}, {"0012", 12}, {"2147483647", 2147483647}, {"9999999999", 2147483647},
        {"", 0}, {"+5", 0}, {"-5", 0}, {" 5", 0}, {"5 ", 0}, {"5a", 0}, {"12345678901", 0}, {"1.5", 0},
    };
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("numbers");
    for (const auto& [text, expected] : cases)
        xmlNewTextChild(root, nullptr, BAD_CAST "n", BAD_CAST text);
    CXPathContext context(document);
    int index = 1;
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(context.Eval("/numbers/n[%d]", index++)->GetNumber(), expected) << "'" << text << "'";
}

TEST(XmlText, ToXmlTextKeepsValidUtf8AndMarksEverythingElse) {
    EXPECT_EQ(ToXmlText("plain text\t!"), "plain text\t!");
    EXPECT_EQ(ToXmlText("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(ToXmlText("\xE2\x82\xAC 5"), "\xE2\x82\xAC 5");
    EXPECT_EQ(ToXmlText("caf\xE9!"), "caf?!");             // an 8-bit code page letter
    EXPECT_EQ(ToXmlText("\xC3" "A"), "?A");                // a lead byte before a plain letter
    EXPECT_EQ(ToXmlText("\xF0\x9F\x98\x80."), "????.");    // 4-byte sequences
    EXPECT_EQ(ToXmlText("\x82\xAC"), "??");                // stray continuation bytes
    EXPECT_EQ(ToXmlText("a\x01" "b\x1F" "c\x7F"), "a?b?c\x7F");
    EXPECT_EQ(ToXmlText("\xE2\x82"), "??");                // cut short by the end
    EXPECT_EQ(ToXmlText(std::string("ab\0cd", 5)), "ab");  // up to the first NUL
    EXPECT_EQ(ToXmlText("\xE2\x01x"), "??x");              // a control byte inside a broken sequence
}

TEST(XmlText, ToXmlTextTurnsEveryLineEndIntoLf) {
    EXPECT_EQ(ToXmlText("a\r\nb\rc\nd\r\r\n"), "a\nb\nc\nd\n\n");
    EXPECT_EQ(FromXmlText("a\nb\n"), "a\r\nb\r\n");
    EXPECT_EQ(FromXmlText(ToXmlText("one\r\ntwo")), "one\r\ntwo");
}

TEST_F(XmlTest, ToXmlTextNeverLetsThroughWhatTheParserRefusesOnReload) {
    // Well-shaped bytes that are no XML characters: overlong forms, surrogates, U+FFFE and U+FFFF.
    EXPECT_EQ(ToXmlText("\xC0\x80"), "??");
    EXPECT_EQ(ToXmlText("\xC1\xBF"), "??");
    EXPECT_EQ(ToXmlText("\xE0\x80\xAF"), "???");
    EXPECT_EQ(ToXmlText("\xED\xA0\x80"), "???");
    EXPECT_EQ(ToXmlText("\xEF\xBF\xBE\xEF\xBF\xBF"), "??????");
    EXPECT_EQ(ToXmlText("\xEF\xBF\xBD\xED\x9F\xBF\xE0\xA0\x80\xC2\x80"), "\xEF\xBF\xBD\xED\x9F\xBF\xE0\xA0\x80\xC2\x80");

    std::string hostile = "\xC0\x80|\xED\xA0\x80|\xEF\xBF\xBE|\xE0\x80\xAF|ok\xC3\xA9";
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("r");
    xmlNewProp(root, BAD_CAST "a", BAD_CAST ToXmlText(hostile).c_str());
    xmlNodeAddContent(root, BAD_CAST ToXmlText(hostile).c_str());
    document.SaveTo(dir / "r.xml");
    CXMLDocument reloaded(dir / "r.xml");
    EXPECT_EQ(CXPathContext(reloaded).Eval("/r")->GetText(), "??|???|???|???|ok\xC3\xA9");
    EXPECT_EQ(CXPathContext(reloaded).Eval("/r/@a")->GetText(), "??|???|???|???|ok\xC3\xA9");
}

TEST(XmlText, TextToBoolAcceptsOneAndTrueInAnyCase) {
    for (const char* yes : {"1", "true", "TRUE", "True", "tRuE"})
        EXPECT_TRUE(TextToBool(yes)) << yes;
    for (const char* no : {"", "0", "false", "yes", "true ", " 1", "10", "t"})
        EXPECT_FALSE(TextToBool(no)) << no;
}
