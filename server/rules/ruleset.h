// CRuleSet: a user's ruleset, loaded from ruleset.xml (validated against ruleset.xsd beside
// it); dispatches messages to target mailboxes, lets ruleset actions rewrite it, counts the
// dispatched messages and writes itself back when released.
#pragma once

#include <cstdint>
#include <string>

#include "common/lock.h"
#include "server/core/mail_store.h"
#include "server/rules/rule.h"

namespace Ovrin {

class CRuleSet {
public:
    // Loads and validates "<mail-directory>/<user>/ruleset.xml"; any error aborts.
    explicit CRuleSet(const std::string& userName);
    // Writes the ruleset back, without its expired rules; on any failure the file stays as it was.
    ~CRuleSet();
    CRuleSet(const CRuleSet&) = delete;
    CRuleSet& operator=(const CRuleSet&) = delete;

    // The target mailbox of the message: a mailbox name, "spam", "<delete>" or, while the
    // file is empty (header only), "<contents>". In training mode the training mailbox.
    std::string DispatchMessage(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user);
    void IncrementDispatchedMessages();

    const std::string& GetName() const { return name; }
    uint32_t GetDispatchedMessages() const { return dispatchedMessages; }
    // The number of rules in the live list.
    size_t GetRuleCount();

private:
    void WriteBack();

    std::string name;
    std::string filePath;
    std::string schemaPath;
    CLock lock;
    CRuleList rules;
    uint32_t dispatchedMessages = 0;
};

}  // namespace Ovrin
