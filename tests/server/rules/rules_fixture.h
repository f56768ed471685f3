// Test support for rules, matches and actions: a user directory holding the shipped ruleset
// schema, ruleset files written from small rule texts, message headers and element loading.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/xml_document.h"
#include "server/core/config.h"
#include "server/message/message_header.h"
#include "server/rules/ruleset.h"
#include "tests/support/temp_dir.h"

namespace OvrinTest {

inline std::string ShippedRulesetSchema() { return std::string(OVRIN_SOURCE_DIR) + "/demo/mail/.template/ruleset.xsd"; }

// & < > " escaped for attribute values and element text.
inline std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

inline std::string AnyMatch() { return "<match handler=\"any\"/>"; }

inline std::string RegexMatch(const std::string& fields, const std::string& mode, const std::vector<std::string>& patterns) {
    std::string text = "<match handler=\"regex\" header-field-name=\"" + Escaped(fields) + "\" match-mode=\"" + mode +
                       "\"><regexes>";
    for (const std::string& pattern : patterns)
        text += "<regex pattern=\"" + Escaped(pattern) + "\"/>";
    return text + "</regexes></match>";
}

inline std::string PythonMatch(const std::string& script) {
    return "<match handler=\"python\"><script>" + Escaped(script) + "</script></match>";
}

inline std::string DispatchTo(const std::string& mailbox) {
    return "<action handler=\"dispatch\" mailbox=\"" + Escaped(mailbox) + "\"/>";
}

inline std::string PythonAction(const std::string& script) {
    return "<action handler=\"python\"><script>" + Escaped(script) + "</script></action>";
}

// A ruleset action; `rule` is the template of the insert methods.
inline std::string RulesetAction(const std::string& method, const std::string& rule = "",
                                 const std::string& reference = "") {
    std::string text = "<action handler=\"ruleset\" method=\"" + method + "\"";
    if (method == "insert-before" || method == "insert-after")
        text += " reference=\"" + Escaped(reference) + "\"";
    return text + ">" + rule + "</action>";
}

struct RuleText {
    std::string description;
    std::string matches;
    std::string actions;
    std::string id = "";
    bool enabled = true;
    bool trainable = false;
    std::string expires = "2037-12-31 23:59:59";
    bool applyHeader = false;
    unsigned dispatched = 0;
};

inline std::string Rule(const RuleText& r) {
    auto flag = [](bool value) { return value ? "true" : "false"; };
    return "<rule id=\"" + Escaped(r.id) + "\" description=\"" + Escaped(r.description) + "\" enabled=\"" +
           flag(r.enabled) + "\" trainable=\"" + flag(r.trainable) + "\" expires=\"" + Escaped(r.expires) +
           "\" apply-header=\"" + flag(r.applyHeader) + "\" dispatched-messages=\"" + std::to_string(r.dispatched) +
           "\"><matches>" + r.matches + "</matches><actions>" + r.actions + "</actions></rule>";
}

inline std::string RulesetFile(const std::string& rules, unsigned dispatched = 0) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ruleset dispatched-messages=\"" + std::to_string(dispatched) +
           "\"><rules>" + rules + "</rules></ruleset>\n";
}

// A header from "Name: value" lines.
inline Ovrin::CMessageHeader Header(const std::vector<std::string>& lines) {
    std::string buffer;
    for (const std::string& line : lines)
        buffer += line + "\r\n";
    return Ovrin::CMessageHeader(buffer);
}

// A mail store with the user "u", whose directory holds the shipped schema.
class RulesFixture : public testing::Test {
protected:
    void SetUp() override {
        Ovrin::XMLInstallErrorHandler();
        std::filesystem::create_directories(UserDirectory());
        std::filesystem::copy_file(ShippedRulesetSchema(), UserDirectory() + "/ruleset.xsd");
        Ovrin::Config().SetValue("mail-directory", dir.Path());
    }

    std::string UserDirectory() const { return dir / "u"; }
    std::string RulesetPath() const { return UserDirectory() + "/ruleset.xml"; }

    void WriteRules(const std::string& rules, unsigned dispatched = 0) {
        WriteWholeFile(RulesetPath(), RulesetFile(rules, dispatched));
    }
    std::unique_ptr<Ovrin::CRuleSet> Load() { return std::make_unique<Ovrin::CRuleSet>("u"); }
    std::unique_ptr<Ovrin::CRuleSet> Load(const std::string& rules) {
        WriteRules(rules);
        return Load();
    }

    static std::string Dispatch(Ovrin::CRuleSet& ruleset, const Ovrin::CMessageHeader& header,
                                const Ovrin::CFilePtr& file = nullptr) {
        return ruleset.DispatchMessage(header, file, nullptr);
    }

    // The first element of a document written from the text, kept alive by the fixture.
    xmlNodePtr Element(const std::string& xml, const char* path) {
        std::string file = dir / ("element" + std::to_string(documents.size()) + ".xml");
        WriteWholeFile(file, "<?xml version=\"1.0\"?>\n" + xml);
        documents.push_back(std::make_unique<Ovrin::CXMLDocument>(file));
        Ovrin::CXPathContext context(*documents.back());
        return context.Eval("%s", path)->GetNodePtr();
    }

    // The texts of the nodes that the expression selects in the ruleset file as it is on disk.
    std::vector<std::string> Saved(const char* path) {
        Ovrin::CXMLDocument document(RulesetPath());
        Ovrin::CXPathContext context(document);
        Ovrin::CXPathObjectPtr result = context.Eval("%s", path);
        std::vector<std::string> texts;
        for (int i = 0; i < result->GetNodeCount(); ++i) {
            Ovrin::CXPathContext node(result->GetNode(i));
            texts.push_back(node.Eval(".")->GetText());
        }
        return texts;
    }

    // A message file for the file pass.
    Ovrin::CFilePtr MessageFile(const std::string& text = "Subject: whole\r\n\r\nbody\r\n") {
        std::string path = dir / "message.msg";
        WriteWholeFile(path, text);
        return std::make_shared<Ovrin::CFile>(path, Ovrin::CFile::ACCESS_READ, Ovrin::CFile::SHARE_READ,
                                              Ovrin::CFile::OPEN_EXISTING, 0);
    }

    TempDir dir;
    std::vector<std::unique_ptr<Ovrin::CXMLDocument>> documents;
};

}  // namespace OvrinTest
