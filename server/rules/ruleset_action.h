// CRulesetAction: the action that rewrites the user's rule list while a message is being
// dispatched (inserting a template rule, deleting the current rule) or moves the walk.
#pragma once

#include "server/rules/action.h"

namespace Ovrin {

class CRulesetAction : public CAction {
public:
    // In the order of their numbering.
    enum class CMethod { InsertFirst, InsertBefore, InsertAfter, InsertLast, DeleteCurrent, MoveFirst, MoveEnd, MoveNext };

    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    // The template rule is cloned too: a clone never shares it with its original.
    CActionPtr Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    // Always the empty name: a ruleset action never chooses a mailbox.
    std::string Activate(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                         CRuleList& rules, CRulePosition& position) override;

    // Unknown text throws "Invalid ruleset action method: '%s'".
    static CMethod StringToRulesetMethod(const std::string& text);
    static std::string RulesetMethodToString(CMethod method);

    CMethod GetMethod() const { return method; }
    const std::string& GetReference() const { return reference; }
    const CRulePtr& GetTemplateRule() const { return templateRule; }

private:
    void CopyTo(CRulesetAction& target) const;
    bool NeedsReference() const { return method == CMethod::InsertBefore || method == CMethod::InsertAfter; }
    bool Inserts() const { return method <= CMethod::InsertLast; }

    CMethod method = CMethod::MoveNext;
    std::string reference;
    CRulePtr templateRule;
};

}  // namespace Ovrin
