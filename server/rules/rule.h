// CRule: one rule of a ruleset, with its switches, its expiry, the matches that must all hold
// and the actions that run in order; loaded from and saved to a `rule` element.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "server/rules/action.h"
#include "server/rules/match.h"
#include "server/rules/rule_list.h"

namespace Ovrin {

// The header field whose presence puts a dispatch into training mode.
inline constexpr const char* kTrainingMailboxField = "x-ovrin-training-mailbox";

class CRule {
public:
    // Whether Save writes a rule that has expired (a template held by an insert action) or
    // drops it (a rule of the ruleset's list).
    enum class CSaveExpired { Drop, Keep };

    // Throws "No actions under rule '%s'" and the load errors of matches and actions.
    explicit CRule(xmlNodePtr element);

    // Adds a `rule` child to the parent; false, with nothing written, for an expired rule.
    bool Save(xmlNodePtr parent, CSaveExpired expired = CSaveExpired::Drop);
    // A copy of every field, the cached expiry time too, with clones of the matches and actions.
    CRulePtr Clone() const;
    // Only with apply-header set: substitutes the header's macros into the texts, the matches
    // and the actions.
    void ApplyHeader(const CMessageHeader& header);
    // An expiry that still holds macros never expires; otherwise the parsed time is cached.
    bool Expired();
    // False for an expiry that is neither empty, nor macro text, nor a date and time.
    bool ExpiryReadable() const;
    // The mailbox named by the first action that names one, or empty.
    std::string DispatchMessage(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                                CRuleList& rules, CRulePosition& position);

    const std::string& GetId() const { return id; }
    const std::string& GetDescription() const { return description; }
    const std::string& GetExpires() const { return expires; }
    bool GetApplyHeader() const { return applyHeader; }
    void SetApplyHeader(bool value) { applyHeader = value; }
    uint32_t GetDispatchedMessages() const { return dispatchedMessages; }
    void IncrementDispatchedMessages() { ++dispatchedMessages; }
    bool IsEnabled() const { return enabled; }
    bool IsTrainable() const { return trainable; }
    const std::vector<CMatchPtr>& GetMatches() const { return matches; }
    const std::vector<CActionPtr>& GetActions() const { return actions; }

private:
    CRule() = default;

    std::string id;
    std::string description;
    std::string expires;
    mutable time_t expiryTime = 0;  // 0 until computed; Clone computes it for its clones
    bool applyHeader = false;
    uint32_t dispatchedMessages = 0;
    bool enabled = false;
    bool trainable = false;
    std::vector<CMatchPtr> matches;
    std::vector<CActionPtr> actions;
};

}  // namespace Ovrin
