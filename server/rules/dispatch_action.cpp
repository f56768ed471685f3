// CDispatchAction: the action that names the target mailbox, possibly through header macros.
#include "server/rules/dispatch_action.h"

#include "common/trace.h"
#include "store/ruleset_element.h"

namespace Ovrin {

void CDispatchAction::Load(xmlNodePtr element) {
    Traced([&] {
        CAction::Load(element);
        mailbox = ReadElementText(element, "@mailbox");  // not empty: CAction::Create checked it
    }, "CDispatchAction::Load(0x%08x)", LabelAddress(element));
}

void CDispatchAction::Save(xmlNodePtr element) const {
    Traced([&] {
        CAction::Save(element);
        SetElementAttribute(element, "mailbox", mailbox);
    }, "CDispatchAction::Save(0x%08x)", LabelAddress(element));
}

void CDispatchAction::CopyTo(CDispatchAction& target) const {
    Traced([&] {
        CAction::CopyTo(target);
        target.mailbox = mailbox;
    }, "CDispatchAction::CopyTo(0x%08x)", LabelAddress(&target));
}

CActionPtr CDispatchAction::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CDispatchAction>();
        CopyTo(*clone);
        return CActionPtr(clone);
    }, "CDispatchAction::Clone()");
}

void CDispatchAction::ApplyHeader(const CMessageHeader& header) {
    Traced([&] { mailbox = header.Apply(mailbox); }, "CDispatchAction::ApplyHeader(0x%08x)", LabelAddress(&header));
}

std::string CDispatchAction::Activate(const CMessageHeader& header, const CFilePtr&, const CXMLDocumentPtr&,
                                      CRuleList&, CRulePosition&) {
    return Traced([&] { return mailbox; }, "CDispatchAction::Activate('%s', 0x%08x)", mailbox.c_str(),
                  LabelAddress(&header));
}

}  // namespace Ovrin
