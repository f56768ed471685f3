// CMatch: the condition part of a rule, one `match` element of the ruleset file, and the
// factory that makes the right kind from the element's `handler`.
#pragma once

#include <memory>
#include <string>

#include "common/xml_document.h"
#include "server/message/message_header.h"
#include "server/rules/rule_script.h"

namespace Ovrin {

class CMatch;
using CMatchPtr = std::shared_ptr<CMatch>;

class CMatch {
public:
    virtual ~CMatch() = default;

    // "regex", "python" or "any"; anything else throws "Invalid match handler attribute: '%s'".
    static CMatchPtr Create(xmlNodePtr element);

    virtual void Load(xmlNodePtr element);
    // Fills the given `match` element.
    virtual void Save(xmlNodePtr element) const;
    virtual CMatchPtr Clone() const = 0;
    // Substitutes the header's macros into the match's texts (on a rule's per-message copy).
    virtual void ApplyHeader(const CMessageHeader& header) = 0;
    // The file is empty while only the header is known.
    virtual bool Match(const CFilePtr& file, const CMessageHeader& header) = 0;

    const std::string& GetHandler() const { return handler; }

protected:
    void CopyTo(CMatch& target) const;

private:
    std::string handler;
};

}  // namespace Ovrin
