// CPythonAction: the action whose Python script computes the target mailbox name.
#pragma once

#include "server/rules/action.h"

namespace Ovrin {

class CPythonAction : public CAction {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    CActionPtr Clone() const override;
    // Macro values are escaped for Python string literals.
    void ApplyHeader(const CMessageHeader& header) override;
    // The text of the script's `result`, unchanged, as the mailbox name.
    std::string Activate(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                         CRuleList& rules, CRulePosition& position) override;

    const std::string& GetScript() const { return script; }

private:
    void CopyTo(CPythonAction& target) const;

    std::string script;
};

}  // namespace Ovrin
