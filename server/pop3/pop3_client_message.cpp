// Message processing: the server's fields in the header, the dispatch through the user's
// ruleset, and the final move of the message file.
#include "server/pop3/pop3_client_message.h"

#include <array>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <utility>
#include <vector>

#include "common/digest.h"
#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/random.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/rules/ruleset_pool.h"
#include "store/filing.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

// A worker waits this long for a ruleset that an editor holds, then leaves the message for later
// (on the server, or in the spool): the other messages on its thread must not wait for a person.
constexpr uint32_t kRuleSetWaitMs = 5000;

// The x-ovrin-expires-... fields: now plus these seconds, as local times.
constexpr std::pair<const char*, time_t> kExpiryFields[] = {
    {"x-ovrin-expires-one-minute", 60},          {"x-ovrin-expires-five-minutes", 300},
    {"x-ovrin-expires-ten-minutes", 600},        {"x-ovrin-expires-fifteen-minutes", 900},
    {"x-ovrin-expires-half-hour", 1800},         {"x-ovrin-expires-one-hour", 3600},
    {"x-ovrin-expires-two-hours", 7200},         {"x-ovrin-expires-three-hours", 10800},
    {"x-ovrin-expires-six-hours", 21600},        {"x-ovrin-expires-one-day", 86400},
    {"x-ovrin-expires-two-days", 172800},        {"x-ovrin-expires-three-days", 259200},
    {"x-ovrin-expires-one-week", 604800},        {"x-ovrin-expires-two-weeks", 1209600},
    {"x-ovrin-expires-one-month", 2419200},      {"x-ovrin-expires-two-months", 4838400},
    {"x-ovrin-expires-three-months", 7257600},   {"x-ovrin-expires-six-months", 14515200},
    {"x-ovrin-expires-one-year", 31536000},
};

// The texts of the x-ovrin-expires-... fields for one second, kept per thread for the rest of
// that second: every message of a busy second shares them.
const std::array<std::string, std::size(kExpiryFields)>& ExpiryTexts(time_t now) {
    thread_local time_t second = -1;
    thread_local std::array<std::string, std::size(kExpiryFields)> texts;
    if (now != second) {
        for (size_t i = 0; i < texts.size(); ++i)
            texts[i] = TimeToString(now + kExpiryFields[i].second);
        second = now;
    }
    return texts;
}

// The x-ovrin-user-... fields of one user document, kept per thread while that document lives:
// every message of a user would otherwise evaluate the same XPath over the same document. The
// pool replaces a user's document when it is reloaded; it never changes one in place.
const std::vector<std::pair<std::string, std::string>>& UserFields(const std::shared_ptr<CXMLDocument>& document) {
    thread_local std::weak_ptr<CXMLDocument> cached;
    thread_local std::vector<std::pair<std::string, std::string>> fields;
    const bool same = !cached.expired() && !cached.owner_before(document) && !document.owner_before(cached);
    if (!same) {
        fields.clear();
        CXPathContext context(*document);
        CXPathObjectPtr params = context.Eval("/user/params/param");
        for (int i = 0; i < params->GetNodeCount(); ++i) {
            CXPathContext param(params->GetNode(i));
            fields.emplace_back("x-ovrin-user-" + param.Eval("@name")->GetText(), param.Eval("@value")->GetText());
        }
        cached = document;
    }
    return fields;
}

class CFilePass : public CSequentialWorkUnit {
public:
    CFilePass(const std::string& userName, std::shared_ptr<CPOP3ClientMessage> message)
        : CSequentialWorkUnit(CPOP3ClientMessage::UnitName(userName, this)), message(std::move(message)) {}
    void Process() override { message->Process(); }

private:
    std::shared_ptr<CPOP3ClientMessage> message;
};

}  // namespace

std::string CPOP3ClientMessage::UnitName(const std::string& userName, const void* holder) {
    return Format("CPOP3ClientMessage(%s, 0x%08lx)", userName.c_str(),
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(holder)));
}

CSequentialWorkUnitPtr CPOP3ClientMessage::FilePass(const std::shared_ptr<CPOP3ClientMessage>& message) {
    return std::make_shared<CFilePass>(message->userName, message);
}

CPOP3ClientMessage::CPOP3ClientMessage(const std::string& userName, std::shared_ptr<CXMLDocument> user)
    : CSequentialWorkUnit(UnitName(userName, &userDocument)), userName(userName), userDocument(std::move(user)) {}

void CPOP3ClientMessage::SetMessageSize(uint32_t size) { messageSize = size; }

void CPOP3ClientMessage::SetMessageHeader(const std::string& text) {
    Traced([&] {
        headerText = text;
        headerHash = ShortHash(headerText);
        messageId = LocalTimeStamp() + "-" + headerHash + "-" + ToUpper(CreateGUID().substr(0, 8));
    }, "CPOP3ClientMessage::SetMessageHeader('%s')", text.c_str());
}

void CPOP3ClientMessage::AttachMessageFile(const std::string& path) {
    Traced([&] {
        AttachMessageFile(std::make_shared<CFile>(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING,
                                                  CFile::NO_FOLLOW));
    }, "CPOP3ClientMessage::AttachMessageFile('%s')", path.c_str());
}

void CPOP3ClientMessage::AttachMessageFile(std::shared_ptr<CFile> file) { messageFile = std::move(file); }

void CPOP3ClientMessage::AddHeaderValue(const std::string& name, const std::string& value) {
    if (!header)
        throw CMessageException("CPOP3ClientMessage::AddHeaderValue('%s', '%s'): the header is not parsed yet",
                                name.c_str(), value.c_str());
    header->AddValue(name, value);
}

void CPOP3ClientMessage::ParseMessageHeader() {
    Traced([&] {
        auto parsed = std::make_shared<CMessageHeader>(headerText);
        parsed->AddValue("x-ovrin-message-size", Format("%u", messageSize));
        parsed->AddValue("x-ovrin-message-id", messageId);
        parsed->AddValue("x-ovrin-random-short", Format("%u", Random(1000)));
        parsed->AddValue("x-ovrin-random-long", Format("%u", Random(0)));
        parsed->AddValue("x-ovrin-username", userName);
        const auto& expiries = ExpiryTexts(std::time(nullptr));
        for (size_t i = 0; i < expiries.size(); ++i)
            parsed->AddValue(kExpiryFields[i].first, expiries[i]);
        parsed->AddValue("x-ovrin-expires-never", "2037-12-31 23:59:59");
        Config().InsertValuesToHeader(*parsed);
        if (userDocument)
            for (const auto& [name, value] : UserFields(userDocument))
                parsed->AddValue(name, value);
        header = std::move(parsed);
    }, "CPOP3ClientMessage::ParseMessageHeader('%s')", messageId.c_str());
}

void CPOP3ClientMessage::SkipFirstPass() {
    Traced([&] {
        ParseMessageHeader();
        pass = 1;
        std::lock_guard<std::mutex> hold(sharedGuard);
        result = kContentsMailbox;
    }, "CPOP3ClientMessage::SkipFirstPass()");
}

void CPOP3ClientMessage::Dispatch() {
    // Held only for this dispatch: a flush or a lock ruleset may evict it meanwhile. A locked
    // one is no failure of the message, so it is not traced as one.
    auto ruleSet = RuleSetPool().GetObject(userName, kRuleSetWaitMs);
    if (!ruleSet)
        throw CRuleSetBusyException(userName);
    Traced([&] {
        if (!header)
            throw CMessageException("The message header is not parsed");
        std::string target = ruleSet->DispatchMessage(*header, messageFile, userDocument);
        ruleSet.reset();
        std::lock_guard<std::mutex> hold(sharedGuard);
        result = std::move(target);
    }, "CPOP3ClientMessage::Dispatch()");
}

void CPOP3ClientMessage::ParseMessageFile() {
    Traced([&] { messageFileName = MessageFileName(messageId); }, "CPOP3ClientMessage::ParseMessageFile('%s')",
           messageId.c_str());
}

std::string CPOP3ClientMessage::DetachMessageFile() {
    if (!messageFile)
        throw CMessageException("No message file is attached to message %s", messageId.c_str());
    const std::string path = messageFile->GetFilename();
    messageFile.reset();
    return path;
}

void CPOP3ClientMessage::MoveToTargetMailbox() {
    Traced([&] {
        const std::string path = DetachMessageFile();
        FileMessage(MailStore(), userName, path, GetResult(), messageFileName, "CPOP3ClientMessage::MoveToTargetMailbox()");
    }, "CPOP3ClientMessage::MoveToTargetMailbox()");
}

void CPOP3ClientMessage::Process() {
    Traced([&] {
        switch (pass) {
        case 0: {
            try {
                ParseMessageHeader();
                Dispatch();
            } catch (const std::exception& failure) {
                // The session learns it at once and leaves the message on the server, rather
                // than waiting for the message until its connection times out, every time.
                std::lock_guard<std::mutex> hold(sharedGuard);
                headerFailure = failure.what();
                if (headerEvent)
                    headerEvent->Set();
                throw;
            }
            std::lock_guard<std::mutex> hold(sharedGuard);
            if (headerEvent)
                headerEvent->Set();
            pass = 1;
            break;
        }
        case 1:
            ParseMessageFile();
            if (GetResult() == kContentsMailbox && !DispatchOrFallBack())
                ReturnToSpool();
            else
                MoveToTargetMailbox();
            pass = 2;
            break;
        default:
            throw CMessageException("not reached");
        }
    }, "CPOP3ClientMessage::Process()");
}

bool CPOP3ClientMessage::DispatchOrFallBack() {
    try {
        Dispatch();
    } catch (const CRuleSetBusyException&) {
        return false;
    } catch (const std::exception& failure) {
        // A failed training pass still files the message where the user put it.
        std::string fallback = kSpamMailbox;
        if (header && header->GetValueCount("x-ovrin-training-mailbox") > 0 &&
            IsFilingTarget(header->GetValue("x-ovrin-training-mailbox", 0)))
            fallback = header->GetValue("x-ovrin-training-mailbox", 0);
        Logger().Error("CPOP3ClientMessage::Process(): processing of message file %s failed, the message is moved "
                       "to %s: %s",
                       messageFile ? messageFile->GetFilename().c_str() : "(none)", fallback.c_str(), failure.what());
        std::lock_guard<std::mutex> hold(sharedGuard);
        result = std::move(fallback);
    }
    return true;
}

void CPOP3ClientMessage::SetReturnedToSpool(std::function<void(const std::string& spoolName)> callback) {
    returnedToSpool = std::move(callback);
}

void CPOP3ClientMessage::ReturnToSpool() {
    Traced([&] {
        const std::string path = DetachMessageFile();
        std::string spooled;
        if (!CFile::MoveFileToUniqueName(
                path, NewMessageFilePattern(UserPath(userName, kSpoolDirectory), CMessageOrigin::Spooled), spooled))
            throw CMessageException("Unable to move file %s back to the spool", path.c_str());
        Logger().Info("CPOP3ClientMessage::Process(): the ruleset of user %s is locked, message file %s waits in the "
                      "spool as %s",
                      userName.c_str(), path.c_str(), spooled.c_str());
        if (returnedToSpool)
            returnedToSpool(std::filesystem::path(spooled).filename().string());
    }, "CPOP3ClientMessage::ReturnToSpool()");
}

std::string CPOP3ClientMessage::GetResult() const {
    std::lock_guard<std::mutex> hold(sharedGuard);
    return result;
}

void CPOP3ClientMessage::CreateHeaderEvent() {
    std::lock_guard<std::mutex> hold(sharedGuard);
    headerEvent = std::make_shared<CEvent>(true);
}

bool CPOP3ClientMessage::HeaderProcessed() {
    std::shared_ptr<CEvent> event;
    {
        std::lock_guard<std::mutex> hold(sharedGuard);
        event = headerEvent;
    }
    return event && event->Wait(0);
}

int CPOP3ClientMessage::HeaderEventDescriptor() {
    std::shared_ptr<CEvent> event;
    {
        std::lock_guard<std::mutex> hold(sharedGuard);
        event = headerEvent;
    }
    return event ? event->GetDescriptor() : -1;
}

std::string CPOP3ClientMessage::HeaderFailure() const {
    std::lock_guard<std::mutex> hold(sharedGuard);
    return headerFailure;
}

void CPOP3ClientMessage::ReleaseHeaderEvent() {
    std::lock_guard<std::mutex> hold(sharedGuard);
    headerEvent.reset();
}

}  // namespace Ovrin
