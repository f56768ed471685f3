// The acceptance rules of a ruleset file, element by element and over a whole file.
#include "store/ruleset_check.h"

#include <memory>

#include <libxml/xmlschemas.h>

#include "common/text.h"
#include "store/ruleset_element.h"

namespace Ovrin {

namespace {

constexpr const char* kInsertMethods[] = {"insert-first", "insert-before", "insert-after", "insert-last"};
constexpr const char* kOtherMethods[] = {"delete-current", "move-first", "move-end", "move-next"};

bool OneOf(const std::string& text, const auto& names) {
    for (const char* name : names)
        if (text == name)
            return true;
    return false;
}

void CheckRegexMatch(xmlNodePtr match) {
    const std::string names = ReadElementText(match, "@header-field-name");
    if (names.empty())
        throw CMessageException("Invalid or missing match attribute header-field-name");
    if (names.find_first_not_of(';') == std::string::npos)
        throw CMessageException("Invalid or empty match attribute header-field-name");
    const std::string mode = ReadElementText(match, "@match-mode");
    if (mode != "any" && mode != "all")
        throw CMessageException("Invalid or missing match attribute match-mode");
}

std::string RuleName(xmlNodePtr rule) {
    std::string name = "rule \"" + ReadElementText(rule, "@description") + "\"";
    for (xmlNodePtr up = rule->parent; up && up->type == XML_ELEMENT_NODE; up = up->parent)
        if (xmlStrEqual(up->name, BAD_CAST "rule"))
            return name + " inside " + RuleName(up);
    return name;
}

// A rule in the order the server loads it: its matches, its actions each with the rule it
// inserts, then the count of its actions.
void CheckRule(xmlNodePtr rule) {
    try {
        for (xmlNodePtr match : SelectElements(rule, "matches/match"))
            CheckMatchElement(match);
        for (xmlNodePtr action : SelectElements(rule, "actions/action")) {
            CheckActionElement(action);
            for (xmlNodePtr inserted : SelectElements(action, "rule[1]"))
                CheckRule(inserted);
        }
        CheckRuleElement(rule);
    } catch (const CRuleSetRefusal&) {
        throw;  // a nested rule's, named already
    } catch (const CMessageException& refusal) {
        throw CRuleSetRefusal(RuleName(rule), refusal.what());
    }
}

// The first complaint of the schema validator, with the rule it concerns.
struct CSchemaComplaint {
    std::string message;
    std::string rule;
};

void OnSchemaError(void* context, xmlErrorPtr error) {
    auto* first = static_cast<CSchemaComplaint*>(context);
    if (!first->message.empty() || !error || !error->message)
        return;
    first->message = Trim(error->message);
    for (auto* node = static_cast<xmlNodePtr>(error->node); node; node = node->parent)
        if (node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST "rule")) {
            first->rule = "rule \"" + ReadElementText(node, "@description") + "\"";
            break;
        }
}

void CheckSchema(const CXMLDocument& document, const std::string& schemaPath) {
    CSchemaComplaint first;
    std::unique_ptr<xmlSchemaParserCtxt, void (*)(xmlSchemaParserCtxtPtr)> parser(
        xmlSchemaNewParserCtxt(schemaPath.c_str()), xmlSchemaFreeParserCtxt);
    if (!parser)
        throw CRuleSetRefusal("", "the schema " + schemaPath + " cannot be read");
    xmlSchemaSetParserStructuredErrors(parser.get(), OnSchemaError, &first);
    std::unique_ptr<xmlSchema, void (*)(xmlSchemaPtr)> schema(xmlSchemaParse(parser.get()), xmlSchemaFree);
    if (!schema)
        throw CRuleSetRefusal("", "the schema " + schemaPath + " cannot be read: " + first.message);
    std::unique_ptr<xmlSchemaValidCtxt, void (*)(xmlSchemaValidCtxtPtr)> validator(xmlSchemaNewValidCtxt(schema.get()),
                                                                                   xmlSchemaFreeValidCtxt);
    if (!validator)
        throw CRuleSetRefusal("", "the schema " + schemaPath + " cannot be used");
    first = {};
    xmlSchemaSetValidStructuredErrors(validator.get(), OnSchemaError, &first);
    if (xmlSchemaValidateDoc(validator.get(), document.GetDocument()) != 0)
        throw CRuleSetRefusal(first.rule,
                              first.message.empty() ? "it does not match the schema " + schemaPath : first.message);
}

}  // namespace

void CheckMatchElement(xmlNodePtr match) {
    const std::string handler = ReadElementText(match, "@handler");
    if (handler == "regex")
        CheckRegexMatch(match);
    else if (handler != "python" && handler != "any")
        throw CMessageException("Invalid match handler attribute: '%s'", handler.c_str());
}

void CheckActionElement(xmlNodePtr action) {
    const std::string handler = ReadElementText(action, "@handler");
    if (handler == "dispatch") {
        if (ReadElementText(action, "@mailbox").empty())
            throw CMessageException("Invalid or missing action attribute mailbox");
    } else if (handler == "ruleset") {
        const std::string method = ReadElementText(action, "@method");
        if (!OneOf(method, kInsertMethods) && !OneOf(method, kOtherMethods))
            throw CMessageException("Invalid ruleset action method: '%s'", method.c_str());
        if (OneOf(method, kInsertMethods) && SelectElements(action, "rule").empty())
            throw CMessageException("No rule under ruleset action '%s'", method.c_str());
    } else if (handler != "python") {
        throw CMessageException("Invalid action handler attribute: '%s'", handler.c_str());
    }
}

void CheckRuleElement(xmlNodePtr rule) {
    if (SelectElements(rule, "actions/action").empty())
        throw CMessageException("No actions under rule '%s'", ReadElementText(rule, "@description").c_str());
}

void CheckRuleSetFile(const std::string& path, const std::string& schemaPath) {
    std::unique_ptr<CXMLDocument> document;
    try {
        document = std::make_unique<CXMLDocument>(path);
    } catch (const CMessageException& failure) {
        throw CRuleSetRefusal("", failure.what());
    }
    CheckSchema(*document, schemaPath);
    xmlNodePtr root = document->GetRootNode();
    if (SelectElements(root, "/ruleset/rules").empty())
        throw CRuleSetRefusal("", "the document has no /ruleset/rules");
    for (xmlNodePtr rule : SelectElements(root, "/ruleset/rules/rule"))
        CheckRule(rule);
}

}  // namespace Ovrin
