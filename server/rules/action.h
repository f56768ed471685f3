// CAction: what a rule does once its matches hold, one `action` element of the ruleset file,
// and the factory that makes the right kind from the element's `handler`.
#pragma once

#include <memory>
#include <string>

#include "common/xml_document.h"
#include "server/message/message_header.h"
#include "server/rules/rule_list.h"
#include "server/rules/rule_script.h"

namespace Ovrin {

class CAction;
using CActionPtr = std::shared_ptr<CAction>;
using CXMLDocumentPtr = std::shared_ptr<CXMLDocument>;

class CAction {
public:
    virtual ~CAction() = default;

    // "dispatch", "ruleset" or "python"; anything else throws
    // "Invalid action handler attribute: '%s'".
    static CActionPtr Create(xmlNodePtr element);

    virtual void Load(xmlNodePtr element);
    // Fills the given `action` element.
    virtual void Save(xmlNodePtr element) const;
    virtual CActionPtr Clone() const = 0;
    virtual void ApplyHeader(const CMessageHeader& header) = 0;
    // The target mailbox name, or empty for none. The rule list and the walk position are
    // the live ones of the ruleset's current dispatch; the user document is handed on only.
    virtual std::string Activate(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                                 CRuleList& rules, CRulePosition& position) = 0;

    const std::string& GetHandler() const { return handler; }

protected:
    void CopyTo(CAction& target) const;

private:
    std::string handler;
};

}  // namespace Ovrin
