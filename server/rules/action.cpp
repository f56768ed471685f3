// CAction: the handler every action carries, and the factory keyed by it.
#include "server/rules/action.h"

#include "common/trace.h"
#include "server/rules/dispatch_action.h"
#include "server/rules/python_action.h"
#include "server/rules/ruleset_action.h"
#include "store/ruleset_check.h"
#include "store/ruleset_element.h"

namespace Ovrin {

CActionPtr CAction::Create(xmlNodePtr element) {
    return Traced([&] {
        CheckActionElement(element);
        const std::string handler = ReadElementText(element, "@handler");
        CActionPtr action;
        if (handler == "dispatch")
            action = std::make_shared<CDispatchAction>();
        else if (handler == "ruleset")
            action = std::make_shared<CRulesetAction>();
        else
            action = std::make_shared<CPythonAction>();
        action->Load(element);
        return action;
    }, "CAction::Create(0x%08x)", LabelAddress(element));
}

void CAction::Load(xmlNodePtr element) {
    Traced([&] { handler = ReadElementText(element, "@handler"); }, "CAction::Load(0x%08x)", LabelAddress(element));
}

void CAction::Save(xmlNodePtr element) const {
    Traced([&] { SetElementAttribute(element, "handler", handler); }, "CAction::Save(0x%08x)", LabelAddress(element));
}

void CAction::CopyTo(CAction& target) const {
    Traced([&] { target.handler = handler; }, "CAction::CopyTo(0x%08x)", LabelAddress(&target));
}

}  // namespace Ovrin
