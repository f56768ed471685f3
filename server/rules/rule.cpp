// CRule: loading, saving, the per-message clone with header substitution, expiry and the
// dispatch of one message through one rule.
#include "server/rules/rule.h"

#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "store/ruleset_check.h"
#include "store/ruleset_element.h"

namespace Ovrin {

CRule::CRule(xmlNodePtr element) {
    Traced([&] {
        description = ReadElementText(element, "@description");
        applyHeader = ReadElementBool(element, "@apply-header");
        dispatchedMessages = ReadElementNumber(element, "@dispatched-messages");
        enabled = ReadElementBool(element, "@enabled");
        expires = ReadElementText(element, "@expires");
        id = ReadElementText(element, "@id");
        trainable = ReadElementBool(element, "@trainable");
        for (xmlNodePtr match : SelectElements(element, "matches/match"))
            matches.push_back(CMatch::Create(match));
        for (xmlNodePtr action : SelectElements(element, "actions/action"))
            actions.push_back(CAction::Create(action));
        CheckRuleElement(element);
    }, "CRule::CRule(0x%08x)", LabelAddress(element));
}

bool CRule::Save(xmlNodePtr parent, CSaveExpired expired) {
    return Traced([&] {
        if (expired == CSaveExpired::Drop) {
            // One unreadable expiry must not cost the whole file its counts and learned rules.
            if (!ExpiryReadable())
                Logger().Warning("CRule::Save(0x%08x): rule '%s' has an unreadable expiry '%s', it is written back "
                                 "unchanged",
                                 LabelAddress(parent), description.c_str(), expires.c_str());
            else if (Expired())
                return false;
        }
        xmlNodePtr rule = AddChildElement(parent, "rule");
        SetElementAttribute(rule, "description", description);
        SetElementAttribute(rule, "expires", expires);
        SetElementAttribute(rule, "apply-header", BoolText(applyHeader));
        SetElementAttribute(rule, "enabled", BoolText(enabled));
        // Unsigned, so that a count past 2^31 is not written as a negative number that would
        // read back as 0.
        SetElementAttribute(rule, "dispatched-messages", Format("%u", dispatchedMessages));
        SetElementAttribute(rule, "id", id);
        SetElementAttribute(rule, "trainable", BoolText(trainable));
        xmlNodePtr matchesElement = AddChildElement(rule, "matches");
        for (const CMatchPtr& match : matches)
            match->Save(AddChildElement(matchesElement, "match"));
        xmlNodePtr actionsElement = AddChildElement(rule, "actions");
        for (const CActionPtr& action : actions)
            action->Save(AddChildElement(actionsElement, "action"));
        return true;
    }, "CRule::Save(0x%08x)", LabelAddress(parent));
}

CRulePtr CRule::Clone() const {
    return Traced([&] {
        CRulePtr clone(new CRule());
        clone->id = id;
        clone->description = description;
        clone->expires = expires;
        // Parsing an expiry takes the time-zone lock and a stat of the zone file; every
        // message's clone of a rule would pay it again. Parsed here quietly: an expiry that
        // does not parse is left for the clone's own Expired to report.
        if (expiryTime == 0 && !CMessageHeader::ContainsApplicableMacros(expires))
            expiryTime = ParseTime(expires).value_or(0);
        clone->expiryTime = expiryTime;
        clone->applyHeader = applyHeader;
        clone->dispatchedMessages = dispatchedMessages;
        clone->enabled = enabled;
        clone->trainable = trainable;
        for (const CMatchPtr& match : matches)
            clone->matches.push_back(match->Clone());
        for (const CActionPtr& action : actions)
            clone->actions.push_back(action->Clone());
        return clone;
    }, "CRule::Clone()");
}

void CRule::ApplyHeader(const CMessageHeader& header) {
    Traced([&] {
        if (!applyHeader)
            return;
        id = header.Apply(id);
        description = header.Apply(description);
        std::string applied = header.Apply(expires);
        if (applied != expires) {
            expires = std::move(applied);
            expiryTime = 0;
        }
        for (const CMatchPtr& match : matches)
            match->ApplyHeader(header);
        for (const CActionPtr& action : actions)
            action->ApplyHeader(header);
    }, "CRule::ApplyHeader(0x%08x)", LabelAddress(&header));
}

bool CRule::Expired() {
    return Traced([&] {
        if (expiryTime == 0) {
            // No expiry at all means the rule never expires.
            if (Trim(expires).empty() || CMessageHeader::ContainsApplicableMacros(expires))
                return false;
            expiryTime = StringToTime(expires);
        }
        return expiryTime < std::time(nullptr);
    }, "CRule::Expired()");
}

bool CRule::ExpiryReadable() const {
    return Trim(expires).empty() || CMessageHeader::ContainsApplicableMacros(expires) || ParseTime(expires);
}

std::string CRule::DispatchMessage(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr& user,
                                   CRuleList& rules, CRulePosition& position) {
    return Traced([&] {
        if (!enabled || Expired())
            return std::string();
        bool training = header.GetValueCount(kTrainingMailboxField) > 0;
        if (training && !trainable)
            return std::string();
        for (const CMatchPtr& match : matches)
            if (!match->Match(file, header))
                return std::string();
        for (const CActionPtr& action : actions) {
            std::string mailbox = action->Activate(header, file, user, rules, position);
            if (mailbox.empty())
                continue;
            if (training)
                throw CMessageException("An action returned non-empty mailbox name in training mode");
            return mailbox;
        }
        return std::string();
    }, "CRule::DispatchMessage('%s', 0x%08x, 0x%08x, 0x%08x)", description.c_str(), LabelAddress(&header),
       LabelAddress(file.get()), LabelAddress(user.get()));
}

}  // namespace Ovrin
