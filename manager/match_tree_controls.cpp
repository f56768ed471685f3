// The match controllers: their values, captions and checks.
#include "manager/match_tree_controls.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "manager/command_client.h"
#include "manager/regex_match.h"
#include "manager/rule_panels.h"

namespace Ovrin {

const char* const kSampleMatchScript =
    "# The message header is in the dictionary headers, by lower-case field name, e.g.\n"
    "# if headers.get('subject', '').startswith('[list]'):\n"
    "#     result = 'match'\n";

namespace {

constexpr const char* kPatternsKey = "regexes/regex/@pattern";
constexpr const char* kFieldNamePattern = "^[[:word:]]+(?:-[[:word:]]+)*(?:;[[:word:]]+(?:-[[:word:]]+)*)*$";
constexpr const char* kFieldNameWarning =
    "The header field name appears to be invalid, it should either be a single MIME header field name, ex:\r\n"
    "Message-ID\r\n"
    "or several such names, separated with semicolons, ex:\r\n"
    "Sender;From";

QIcon MatchIcon() { return QApplication::style()->standardIcon(QStyle::SP_FileDialogContentsView); }

// Every "{{...}}" replaced by "." with the blanks around it dropped, so the server can compile a
// pattern whose macros are filled only per message.
std::string WithoutMacros(const std::string& line) {
    std::string out;
    size_t at = 0;
    for (;;) {
        size_t open = line.find("{{", at);
        size_t close = open == std::string::npos ? open : line.find("}}", open + 2);
        if (close == std::string::npos) {
            out += line.substr(at);
            return out;
        }
        out = TrimBlanks(out + line.substr(at, open - at));
        out += ".";
        at = close + 2;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
    }
}

}  // namespace

TStringArray MemoLines(const std::string& text) {
    TStringArray lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        std::string line = TrimBlanks(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (!line.empty())
            lines.push_back(line);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return lines;
}

bool ValidatePythonScript(const std::string& script) {
    std::string text = script;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.replace(at, 2, "{{x-ovrin-crlf}}");
    std::string message;
    return SendCommand("validate python " + text, &message) || Warn("The script is invalid: " + message);
}

TAnyMatchTreeControl::TAnyMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                           TXmlNode match, std::string user)
    : TMatchTreeControl(tree, node, "Match any message", parent, std::move(match), std::move(user)) {
    SetIcon(MatchIcon());
}

TTreeControl* TAnyMatchTreeControl::Recreate() {
    return new TAnyMatchTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TAnyMatchTreeControl::Panel() { return FormPanel("pnlMatchAny", BuildMatchAnyPanel); }

TRegexMatchTreeControl::TRegexMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                               TXmlNode match, std::string user)
    : TMatchTreeControl(tree, node, "Match message by header field value", parent, std::move(match), std::move(user)) {
    SetIcon(MatchIcon());
}

TTreeControl* TRegexMatchTreeControl::Recreate() {
    return new TRegexMatchTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TRegexMatchTreeControl::Panel() { return FormPanel("pnlMatchRegex", BuildMatchRegexPanel); }

std::string TRegexMatchTreeControl::GetValue(const std::string& key) {
    if (key != kPatternsKey)
        return TMatchTreeControl::GetValue(key);
    std::string text;
    for (const TXmlNode& pattern : Element().SelectNodes(kPatternsKey)) {
        std::string line = TrimBlanks(pattern.Text());
        if (!line.empty())
            text += line + "\r\n";
    }
    return text;
}

void TRegexMatchTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key != kPatternsKey)
        return TMatchTreeControl::SetValue(key, value);
    TXmlNode match = Element();
    if (TXmlNode old = match.SelectSingleNode("regexes"))
        match.RemoveChild(old);
    TXmlDocument document = match.OwnerDocument();
    TXmlNode regexes = match.AppendChild(document.CreateElement("regexes"));
    // Built node by node: a pattern may hold any character, the slash of templates included.
    for (const std::string& line : MemoLines(value)) {
        TXmlNode regex = regexes.AppendChild(document.CreateElement("regex"));
        TXmlNode pattern = document.CreateAttribute("pattern");
        regex.SetNamedItem(pattern);
        pattern.SetText(line);
    }
}

bool TRegexMatchTreeControl::Validate(const std::string& key, const std::string& value) {
    bool valid = true;
    if (key == kPatternsKey) {
        TStringArray lines = MemoLines(value);
        if (lines.empty())
            valid = Warn("At least one regular expression to match should be entered.");
        for (const std::string& line : lines) {
            std::string message;
            if (!SendCommand("validate regex " + WithoutMacros(line), &message))
                valid = Warn("Regular expression " + line + " is invalid: " + message);
        }
    } else if (key == "@header-field-name") {
        if (!RegexMatch(kFieldNamePattern, value))
            valid = Warn(kFieldNameWarning);
    }
    return valid;
}

TPythonMatchTreeControl::TPythonMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                 TXmlNode match, std::string user)
    : TMatchTreeControl(tree, node, "Match message using Python script", parent, std::move(match), std::move(user)) {
    SetIcon(MatchIcon());
}

TTreeControl* TPythonMatchTreeControl::Recreate() {
    return new TPythonMatchTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TPythonMatchTreeControl::Panel() { return FormPanel("pnlMatchPython", BuildMatchPythonPanel); }

bool TPythonMatchTreeControl::Validate(const std::string& key, const std::string& value) {
    return key != "script" || ValidatePythonScript(value);
}

}  // namespace Ovrin
