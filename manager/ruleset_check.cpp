#include "manager/ruleset_check.h"

#include <cstdarg>
#include <memory>

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <QDir>

#include "common/exception.h"
#include "common/file.h"
#include "manager/document.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

constexpr const char* kRefused = "The ruleset has not been saved, the server would refuse to load it";

std::string Description(const TXmlNode& rule) {
    TXmlNode description = rule.SelectSingleNode("@description");
    return description ? description.Text() : "";
}

// "rule "X"" or "rule "X" inside rule "Y"" for the rule of an insert action.
std::string RuleName(const TXmlNode& rule) {
    std::string name = "rule \"" + Description(rule) + "\"";
    for (TXmlNode up = rule.ParentNode(); up && up.IsElement(); up = up.ParentNode())
        if (up.Name() == "rule")
            return name + " inside " + RuleName(up);
    return name;
}

[[noreturn]] void Refuse(const TXmlNode& rule, const std::string& reason) {
    if (rule)
        throw CMessageException("%s: %s: %s", kRefused, RuleName(rule).c_str(), reason.c_str());
    throw CMessageException("%s: %s", kRefused, reason.c_str());
}

std::string Attribute(const TXmlNode& element, const char* name) {
    TXmlNode attribute = element.SelectSingleNode(std::string("@") + name);
    return attribute ? attribute.Text() : "";
}

void CheckRule(const TXmlNode& rule);

void CheckMatch(const TXmlNode& rule, const TXmlNode& match) {
    std::string handler = Attribute(match, "handler");
    if (handler == "any" || handler == "python")
        return;
    if (handler != "regex")
        Refuse(rule, "Invalid match handler attribute: '" + handler + "'");
    std::string names = Attribute(match, "header-field-name");
    if (names.empty())
        Refuse(rule, "Invalid or missing match attribute header-field-name");
    if (names.find_first_not_of(';') == std::string::npos)
        Refuse(rule, "Invalid or empty match attribute header-field-name");
    std::string mode = Attribute(match, "match-mode");
    if (mode != "any" && mode != "all")
        Refuse(rule, "Invalid or missing match attribute match-mode");
}

void CheckAction(const TXmlNode& rule, const TXmlNode& action) {
    std::string handler = Attribute(action, "handler");
    if (handler == "python")
        return;
    if (handler == "dispatch") {
        if (Attribute(action, "mailbox").empty())
            Refuse(rule, "Invalid or missing action attribute mailbox");
        return;
    }
    if (handler != "ruleset")
        Refuse(rule, "Invalid action handler attribute: '" + handler + "'");
    std::string method = Attribute(action, "method");
    bool inserts = method == "insert-first" || method == "insert-before" || method == "insert-after" ||
                   method == "insert-last";
    if (!inserts && method != "delete-current" && method != "move-first" && method != "move-end" &&
        method != "move-next")
        Refuse(rule, "Invalid ruleset action method: '" + method + "'");
    if (!inserts)
        return;
    TXmlNode inserted = action.SelectSingleNode("rule");
    if (!inserted)
        Refuse(rule, "the action \"" + method + "\" has no rule to insert");
    CheckRule(inserted);
}

void CheckRule(const TXmlNode& rule) {
    for (const TXmlNode& match : rule.SelectNodes("matches/match"))
        CheckMatch(rule, match);
    std::vector<TXmlNode> actions = rule.SelectNodes("actions/action");
    if (actions.empty())
        Refuse(rule, "No actions under rule '" + Description(rule) + "'");
    for (const TXmlNode& action : actions)
        CheckAction(rule, action);
}

// The first complaint of the schema validator, with the rule it concerns.
struct TSchemaError {
    std::string message;
    std::string rule;
};

void OnSchemaError(void* context, xmlErrorPtr error) {
    auto* first = static_cast<TSchemaError*>(context);
    if (!first->message.empty() || !error || !error->message)
        return;
    first->message = TrimBlanks(error->message);
    for (auto* node = static_cast<xmlNodePtr>(error->node); node; node = node->parent) {
        if (node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST "rule")) {
            xmlChar* description = xmlGetProp(node, BAD_CAST "description");
            first->rule = "rule \"" + std::string(description ? reinterpret_cast<char*>(description) : "") + "\"";
            xmlFree(description);
            break;
        }
    }
}

void OnSchemaParserError(void* context, xmlErrorPtr error) {
    auto* first = static_cast<std::string*>(context);
    if (first->empty() && error && error->message)
        *first = TrimBlanks(error->message);
}

void CheckSchema(const std::string& path, const std::string& schemaPath) {
    std::string schemaError;
    std::unique_ptr<xmlSchemaParserCtxt, void (*)(xmlSchemaParserCtxtPtr)> parser(
        xmlSchemaNewParserCtxt(schemaPath.c_str()), xmlSchemaFreeParserCtxt);
    if (!parser)
        Refuse({}, "the schema " + schemaPath + " cannot be read");
    xmlSchemaSetParserStructuredErrors(parser.get(), OnSchemaParserError, &schemaError);
    std::unique_ptr<xmlSchema, void (*)(xmlSchemaPtr)> schema(xmlSchemaParse(parser.get()), xmlSchemaFree);
    if (!schema)
        Refuse({}, "the schema " + schemaPath + " cannot be read: " + schemaError);
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> document(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET),
                                                         xmlFreeDoc);
    if (!document)
        Refuse({}, "the document cannot be read back");
    std::unique_ptr<xmlSchemaValidCtxt, void (*)(xmlSchemaValidCtxtPtr)> validator(xmlSchemaNewValidCtxt(schema.get()),
                                                                                   xmlSchemaFreeValidCtxt);
    if (!validator)
        Refuse({}, "the schema " + schemaPath + " cannot be used");
    TSchemaError first;
    xmlSchemaSetValidStructuredErrors(validator.get(), OnSchemaError, &first);
    if (xmlSchemaValidateDoc(validator.get(), document.get()) != 0) {
        std::string reason = first.message.empty() ? "it does not match the schema " + schemaPath : first.message;
        if (!first.rule.empty())
            throw CMessageException("%s: %s: %s", kRefused, first.rule.c_str(), reason.c_str());
        Refuse({}, reason);
    }
}

}  // namespace

void CheckRulesetForServer(const TXmlDocument& document, const std::string& schemaPath) {
    // The schema sees the bytes that would be written, so they are written to a scratch file.
    std::string scratch = QDir::tempPath().toUtf8().toStdString() + "/ovrin-ruleset-" + NewGuidString() + ".xml";
    struct TRemove {
        std::string path;
        ~TRemove() { CFile::DeleteFile(path); }
    } remove{scratch};
    document.Save(scratch);
    CheckSchema(scratch, schemaPath);
    if (!document.SelectSingleNode("/ruleset/rules"))
        Refuse({}, "the document has no /ruleset/rules");
    for (const TXmlNode& rule : document.SelectNodes("/ruleset/rules/rule"))
        CheckRule(rule);
}

}  // namespace Ovrin
