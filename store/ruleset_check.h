// What makes a ruleset.xml acceptable beyond its schema: the handlers and attributes of matches
// and actions, and a rule's actions. The server checks each element where it loads it; the
// manager checks a whole file before it writes one, through the same code and texts.
#pragma once

#include <string>

#include "common/exception.h"
#include "common/xml_document.h"

namespace Ovrin {

// Each throws CMessageException with the reason.
void CheckMatchElement(xmlNodePtr match);
// Of an insert action, the presence of its rule; the rule itself is checked on its own.
void CheckActionElement(xmlNodePtr action);
void CheckRuleElement(xmlNodePtr rule);

// A ruleset the server would refuse: the reason, and the rule at fault ("rule "X"", or
// "rule "X" inside rule "Y"" for the rule of an insert action; empty for the whole file).
class CRuleSetRefusal : public CMessageException {
public:
    CRuleSetRefusal(std::string rule, const std::string& reason)
        : CMessageException("%s", reason.c_str()), rule(std::move(rule)) {}
    const std::string& Rule() const { return rule; }

private:
    std::string rule;
};

// The whole file: the schema at schemaPath (the validator's first complaint is the reason),
// then every rule, nested ones included. Throws CRuleSetRefusal.
void CheckRuleSetFile(const std::string& path, const std::string& schemaPath);

}  // namespace Ovrin
