// CRulesetAction: inserting and deleting rules of the live list and moving the dispatch walk.
#include "server/rules/ruleset_action.h"

#include "common/exception.h"
#include "common/trace.h"
#include "server/rules/rule.h"
#include "store/ruleset_element.h"

namespace Ovrin {

namespace {

struct CMethodName {
    CRulesetAction::CMethod method;
    const char* name;
};

constexpr CMethodName kMethodNames[] = {
    {CRulesetAction::CMethod::InsertFirst, "insert-first"},
    {CRulesetAction::CMethod::InsertBefore, "insert-before"},
    {CRulesetAction::CMethod::InsertAfter, "insert-after"},
    {CRulesetAction::CMethod::InsertLast, "insert-last"},
    {CRulesetAction::CMethod::DeleteCurrent, "delete-current"},
    {CRulesetAction::CMethod::MoveFirst, "move-first"},
    {CRulesetAction::CMethod::MoveEnd, "move-end"},
    {CRulesetAction::CMethod::MoveNext, "move-next"},
};

}  // namespace

CRulesetAction::CMethod CRulesetAction::StringToRulesetMethod(const std::string& text) {
    return Traced([&] {
        for (const CMethodName& entry : kMethodNames)
            if (text == entry.name)
                return entry.method;
        throw CMessageException("Invalid ruleset action method: '%s'", text.c_str());
    }, "CRulesetAction::StringToRulesetMethod(0x%08x)", LabelAddress(&text));
}

std::string CRulesetAction::RulesetMethodToString(CMethod method) {
    return Traced([&] {
        for (const CMethodName& entry : kMethodNames)
            if (method == entry.method)
                return std::string(entry.name);
        throw CMessageException("Not reached");
    }, "CRulesetAction::RulesetMethodToString(0x%08x)", static_cast<unsigned>(method));
}

void CRulesetAction::Load(xmlNodePtr element) {
    Traced([&] {
        CAction::Load(element);
        method = StringToRulesetMethod(ReadElementText(element, "@method"));
        reference = NeedsReference() ? ReadElementText(element, "@reference") : std::string();
        templateRule.reset();
        // An insert carries its rule: CAction::Create checked it.
        if (Inserts())
            templateRule = std::make_shared<CRule>(SelectElements(element, "rule").at(0));
    }, "CRulesetAction::Load(0x%08x)", LabelAddress(element));
}

void CRulesetAction::Save(xmlNodePtr element) const {
    Traced([&] {
        CAction::Save(element);
        SetElementAttribute(element, "method", RulesetMethodToString(method));
        if (NeedsReference())
            SetElementAttribute(element, "reference", reference);
        // The template is written whatever its expiry: an insert action without its rule
        // would make the whole file fail to load.
        if (templateRule)
            templateRule->Save(element, CRule::CSaveExpired::Keep);
    }, "CRulesetAction::Save(0x%08x)", LabelAddress(element));
}

void CRulesetAction::CopyTo(CRulesetAction& target) const {
    Traced([&] {
        CAction::CopyTo(target);
        target.method = method;
        target.reference = reference;
        target.templateRule = templateRule ? templateRule->Clone() : nullptr;
    }, "CRulesetAction::CopyTo(0x%08x)", LabelAddress(&target));
}

CActionPtr CRulesetAction::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CRulesetAction>();
        CopyTo(*clone);
        return CActionPtr(clone);
    }, "CRulesetAction::Clone()");
}

void CRulesetAction::ApplyHeader(const CMessageHeader& header) {
    Traced([&] {
        if (NeedsReference())
            reference = header.Apply(reference);
        if (templateRule)
            templateRule->ApplyHeader(header);
    }, "CRulesetAction::ApplyHeader(0x%08x)", LabelAddress(&header));
}

std::string CRulesetAction::Activate(const CMessageHeader& header, const CFilePtr&, const CXMLDocumentPtr&,
                                     CRuleList& rules, CRulePosition& position) {
    const std::string methodName = RulesetMethodToString(method);
    return Traced([&] {
        CRulePosition referenced = position;
        if (NeedsReference() && !reference.empty()) {
            referenced = rules.begin();
            while (referenced != rules.end() && (*referenced)->GetId() != reference)
                ++referenced;
        }
        // No rule to insert after: the reference names none, or the walk already stands at
        // the end.
        if (NeedsReference() && referenced == rules.end() && (!reference.empty() || method == CMethod::InsertAfter))
            throw CMessageException("%s(%s) failed, rule id is not found in the ruleset", methodName.c_str(),
                                    reference.c_str());
        if (Inserts())
            templateRule->SetApplyHeader(true);
        switch (method) {
        case CMethod::InsertFirst:
            rules.push_front(templateRule);
            break;
        case CMethod::InsertBefore:
            rules.insert(referenced, templateRule);
            break;
        case CMethod::InsertAfter:
            rules.insert(std::next(referenced), templateRule);
            break;
        case CMethod::InsertLast:
            rules.push_back(templateRule);
            break;
        case CMethod::DeleteCurrent:
            if (position != rules.end())
                position = rules.erase(position);
            break;
        case CMethod::MoveFirst:
            position = rules.begin();
            break;
        case CMethod::MoveEnd:
            position = rules.end();
            break;
        case CMethod::MoveNext:
            if (position != rules.end())
                ++position;
            break;
        }
        return std::string();
    }, "CRulesetAction::Activate('%s', 0x%08x)", methodName.c_str(), LabelAddress(&header));
}

}  // namespace Ovrin
