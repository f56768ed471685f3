// CRuleSet: loading, the dispatch walk over the live rule list, and the write-back on release.
#include "server/rules/ruleset.h"

#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/sequencer.h"
#include "common/text.h"
#include "common/trace.h"
#include "store/ruleset_element.h"

namespace Ovrin {

namespace {

// Steps a walk may take per rule in the list before it is taken for one that never ends
// (a rule that matches and restarts the walk with move-first).
constexpr size_t kWalkStepsPerRule = 100;

// Messages dispatched through any ruleset since start-up.
CSequencer& DispatchedThisRun() {
    static CSequencer sequencer;
    return sequencer;
}

// A dispatch result is a directory name under the user's directory: special directories
// (".raw", ".spool", "..") and anything that would reach outside it are refused.
bool IsSpecialMailbox(const std::string& mailbox) {
    return (!mailbox.empty() && mailbox[0] == '.') || mailbox.find('/') != std::string::npos ||
           mailbox.find('\0') != std::string::npos;
}

}  // namespace

CRuleSet::CRuleSet(const std::string& userName) {
    Traced([&] {
        name = userName;
        filePath = UserPath(userName, kRuleSetFile);
        schemaPath = UserPath(userName, kRuleSetSchemaFile);
        CXMLDocument document(filePath);
        document.Validate(schemaPath);
        xmlNodePtr root = document.GetRootNode();
        dispatchedMessages = ReadElementNumber(root, "/ruleset/@dispatched-messages");
        for (xmlNodePtr rule : SelectElements(root, "/ruleset/rules/rule"))
            rules.push_back(std::make_shared<CRule>(rule));
    }, "CRuleSet::CRuleSet('%s')", userName.c_str());
}

CRuleSet::~CRuleSet() {
    Contained([&] { WriteBack(); }, "CRuleSet::~CRuleSet()");
}

void CRuleSet::WriteBack() {
    CScopedLock hold(lock, kInfinite);
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("ruleset");
    SetElementAttribute(root, "dispatched-messages", Format("%u", dispatchedMessages));
    xmlNodePtr rulesElement = AddChildElement(root, "rules");
    for (auto rule = rules.begin(); rule != rules.end();) {
        if ((*rule)->Save(rulesElement))
            ++rule;
        else
            rule = rules.erase(rule);
    }
    document.Validate(schemaPath);
    document.SaveTo(filePath);
}

size_t CRuleSet::GetRuleCount() {
    CScopedLock hold(lock, kInfinite);
    return rules.size();
}

void CRuleSet::IncrementDispatchedMessages() {
    Traced([&] {
        ++dispatchedMessages;
        uint32_t thisRun = DispatchedThisRun().Next();
        if (thisRun % 100 == 0)
            Logger().Info("Messages dispatched this run: %d", static_cast<int>(thisRun));
    }, "CRuleSet::IncrementDispatchedMessages()");
}

std::string CRuleSet::DispatchMessage(const CMessageHeader& header, const CFilePtr& file,
                                      const CXMLDocumentPtr& user) {
    return Traced([&] {
        CScopedLock hold(lock, kInfinite);
        const char* headerOnly = file ? "" : " header";
        std::string result;
        CRulePosition position = rules.begin();
        // Counted against the rules the walk started with: a loop that inserts a rule at each
        // turn would otherwise move its own limit away.
        const size_t maxSteps = kWalkStepsPerRule * rules.size();
        size_t steps = 0;
        CRulePtr mover;  // the last rule that moved the walk: the one to blame for a walk without end
        while (position != rules.end()) {
            // Held so that the rule outlives a delete-current and the position can be
            // compared with it afterwards.
            CRulePtr live = *position;
            const bool exhausted = ++steps > maxSteps;
            const CRulePtr& named = exhausted && mover ? mover : live;
            bool passed = Contained([&] {
                if (exhausted)
                    throw CMessageException("The walk through the rules did not end after %u steps",
                                            static_cast<unsigned>(steps - 1));
                CRulePtr clone = live->Clone();
                clone->ApplyHeader(header);
                result = clone->DispatchMessage(header, file, user, rules, position);
                if (IsSpecialMailbox(result))
                    throw CMessageException("Rule \"%s\" attempted to dispatch message to a special mailbox \"%s\"",
                                            live->GetDescription().c_str(),
                                            ReplaceControlCharacters(result, true).c_str());
            }, "CRuleSet::DispatchMessage(%s): exception caught when passing message%s to rule '%s', "
               "dispatching message to spam mailbox", name.c_str(), headerOnly, named->GetDescription().c_str());
            if (!passed) {
                result = kSpamMailbox;
                break;
            }
            if (result == kContentsMailbox && file)
                result.clear();
            if (!result.empty()) {
                if (position != rules.end())
                    (*position)->IncrementDispatchedMessages();
                break;
            }
            if (position != rules.end() && *position == live)
                ++position;
            else
                mover = live;
        }
        IncrementDispatchedMessages();
        if (header.GetValueCount(kTrainingMailboxField) > 0) {
            if (position != rules.end())
                throw CMessageException("In training mode the ruleset should have come up with no result");
            return header.GetValue(kTrainingMailboxField, 0);
        }
        if (position == rules.end()) {
            Logger().Warning("CRuleSet::DispatchMessage(%s): message%s was not accepted by any rule, "
                             "dispatching message to spam mailbox", name.c_str(), headerOnly);
            return std::string(kSpamMailbox);
        }
        return result;
    }, "CRuleSet::DispatchMessage(0x%08x, 0x%08x, 0x%08x)", LabelAddress(&header), LabelAddress(file.get()),
       LabelAddress(user.get()));
}

}  // namespace Ovrin
