// CMatch: the handler every match carries, and the factory keyed by it.
#include "server/rules/match.h"

#include "common/trace.h"
#include "server/rules/any_match.h"
#include "server/rules/python_match.h"
#include "server/rules/regex_header_value_match.h"
#include "store/ruleset_check.h"
#include "store/ruleset_element.h"

namespace Ovrin {

CMatchPtr CMatch::Create(xmlNodePtr element) {
    return Traced([&] {
        CheckMatchElement(element);
        const std::string handler = ReadElementText(element, "@handler");
        CMatchPtr match;
        if (handler == "regex")
            match = std::make_shared<CRegexHeaderValueMatch>();
        else if (handler == "python")
            match = std::make_shared<CPythonMatch>();
        else
            match = std::make_shared<CAnyMatch>();
        match->Load(element);
        return match;
    }, "CMatch::Create(0x%08x)", LabelAddress(element));
}

void CMatch::Load(xmlNodePtr element) {
    Traced([&] { handler = ReadElementText(element, "@handler"); }, "CMatch::Load(0x%08x)", LabelAddress(element));
}

void CMatch::Save(xmlNodePtr element) const {
    Traced([&] { SetElementAttribute(element, "handler", handler); }, "CMatch::Save(0x%08x)", LabelAddress(element));
}

void CMatch::CopyTo(CMatch& target) const {
    Traced([&] { target.handler = handler; }, "CMatch::CopyTo(0x%08x)", LabelAddress(&target));
}

}  // namespace Ovrin
