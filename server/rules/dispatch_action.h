// CDispatchAction: the action that names the target mailbox of a message.
#pragma once

#include "server/rules/action.h"

namespace Ovrin {

class CDispatchAction : public CAction {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    CActionPtr Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    std::string Activate(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                         CRuleList& rules, CRulePosition& position) override;

    const std::string& GetMailbox() const { return mailbox; }

private:
    void CopyTo(CDispatchAction& target) const;

    std::string mailbox;
};

}  // namespace Ovrin
