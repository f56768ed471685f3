// The four timer tasks. They run on the timer thread one after another; the message work itself
// is handed to the worker pools.
#include "server/program/timer_tasks.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "common/exception.h"
#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/random.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "common/xml_document.h"
#include "server/program/instances.h"
#include "server/core/mail_store.h"
#include "server/core/timer_thread.h"
#include "server/core/worker_pools.h"
#include "server/pop3/pop3_client_message.h"
#include "server/pop3/pop3_client_session.h"
#include "server/rules/ruleset_pool.h"
#include "store/filing.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

// The spool task reads no more of a message than this to find the end of its header.
constexpr uint32_t kHeaderReadLimit = 65536;
// The spool task hands messages to the workers this many at a time.
constexpr size_t kSpoolBurst = 32;

std::mutex& FactoryGuard() {
    static std::mutex guard;
    return guard;
}

CPOP3ClientConnectionFactory& Factory() {
    static CPOP3ClientConnectionFactory factory = MakePOP3ClientConnection;
    return factory;
}

// std::shuffle over the thread's own generator (Random), seeded per thread.
struct ThreadRandom {
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<uint32_t>::max(); }
    result_type operator()() { return Random(0); }
};

// The first bytes of the file up to its first blank line, and at most kHeaderReadLimit bytes.
// Read in growing steps, since a header is mostly a small part of the limit and of the file.
std::string ReadHeaderBytes(CFile& file) {
    std::string bytes;
    uint32_t got = 0;
    for (uint32_t step = 4096; got < kHeaderReadLimit; step *= 2) {
        bytes.resize(std::min<uint32_t>(got + step, kHeaderReadLimit));
        const uint32_t before = got;
        for (uint32_t n; got < bytes.size() && (n = file.Read(bytes.data() + got, static_cast<uint32_t>(bytes.size()) - got)) > 0;)
            got += n;
        // A blank line may straddle the end of the last step: look a few bytes back.
        const size_t from = before < 3 ? 0 : before - 3;
        const std::string_view read(bytes.data() + from, got - from);
        if (got < bytes.size() || read.find("\r\n\r\n") != std::string_view::npos ||
            read.find("\n\n") != std::string_view::npos)
            break;
    }
    bytes.resize(got);
    return bytes;
}

// A spooled file once it is in .raw: its header read, the message dispatched and filed. Done on
// a worker, so that the timer thread only moves files and the workers share the reading and
// parsing; a failure before the dispatch sends the file to spam under its spool name, as the
// spool task itself would.
class CSpooledMessage : public CSequentialWorkUnit {
public:
    CSpooledMessage(std::string argument, std::string userName, CUserPool::CObjectPtr user, std::string spoolName,
                    std::string raw, std::optional<std::string> trainingMailbox)
        : CSequentialWorkUnit(CPOP3ClientMessage::UnitName(userName, this)),
          argument(std::move(argument)), userName(std::move(userName)), user(std::move(user)),
          spoolName(std::move(spoolName)), raw(std::move(raw)), trainingMailbox(std::move(trainingMailbox)) {}

    void Process() override {
        std::shared_ptr<CPOP3ClientMessage> message;
        const bool prepared = Contained([&] {
            // Opened once: the message keeps this descriptor for its processing.
            auto file = std::make_shared<CFile>(raw, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING,
                                                CFile::NO_FOLLOW);
            const std::string bytes = ReadHeaderBytes(*file);
            message = std::make_shared<CPOP3ClientMessage>(userName, user);
            message->SetMessageSize(file->GetSize());
            message->SetMessageHeader(ExtractMessageHeader(bytes));
            message->AttachMessageFile(std::move(file));
            message->SkipFirstPass();
            if (trainingMailbox) {
                message->AddHeaderValue("x-ovrin-training-mailbox", *trainingMailbox);
                message->SetReturnedToSpool([mailbox = *trainingMailbox](const std::string& spoolName) {
                    TrainingMap().SetValue(ToLower(spoolName), mailbox);
                });
            }
        }, "TimerCallback_SpoolMessages('%s'): caught exception while processing file '%s', the file is moved to spam",
           argument.c_str(), raw.c_str());
        if (prepared)
            return message->Process();
        message.reset();  // closes the file before the move
        FileMessage(MailStore(), userName, raw, kSpamMailbox, spoolName,
                    Format("TimerCallback_SpoolMessages('%s')", argument.c_str()));
    }

private:
    const std::string argument;
    const std::string userName;
    const CUserPool::CObjectPtr user;
    const std::string spoolName;
    const std::string raw;
    const std::optional<std::string> trainingMailbox;
};

// One spooled file: into .raw under a new name and queued for processing. The file is in .raw
// from then on.
void SpoolMessage(const std::string& argument, const std::string& userName, const CUserPool::CObjectPtr& user,
                  const CFileInfo& spooled, std::vector<CSequentialWorkUnitPtr>& burst) {
    std::string raw;
    const std::string pattern = NewMessageFilePattern(UserPath(userName, kRawDirectory), CMessageOrigin::Spooled);
    if (!CFile::MoveFileToUniqueName(spooled.path, pattern, raw)) {
        Logger().Warning("Unable to move file %s to %s", spooled.path.c_str(), raw.c_str());
        return;  // still in the spool: the next run tries again
    }
    // Consumed in one step, so that the entry trains exactly one message.
    auto trainingMailbox = TrainingMap().TakeValue(ToLower(spooled.name));
    burst.push_back(std::make_shared<CSpooledMessage>(argument, userName, user, spooled.name, std::move(raw),
                                                      std::move(trainingMailbox)));
}

}  // namespace

void SetPOP3ClientConnectionFactory(CPOP3ClientConnectionFactory factory) {
    std::lock_guard<std::mutex> hold(FactoryGuard());
    Factory() = factory ? std::move(factory) : MakePOP3ClientConnection;
}

CParallelWorkUnitPtr MakePOP3ClientConnection(const std::string& userName, const CPOP3Account& account,
                                              std::shared_ptr<CXMLDocument> user) {
    return std::make_shared<CPOP3ClientConnection>(account, userName, std::move(user));
}

CPOP3Account ReadPOP3Account(CXPathContext& client) {
    CPOP3Account account;
    account.hostname = client.Eval("@hostname")->GetText();
    account.port = client.Eval("@port")->GetText();
    account.username = client.Eval("@username")->GetText();
    account.password = DecodeBASE64(client.Eval("@password")->GetText());
    account.security = client.Eval("@security")->GetText();
    account.leaveOnServer = TextToBool(client.Eval("@leave-on-server")->GetText());
    const std::string days = Trim(client.Eval("@leave-on-server-days")->GetText());
    if (!days.empty() && !Matches(days, NumberPattern()))
        throw CMessageException("The leave-on-server-days of POP3 account %s@%s:%s is '%s', it must be a whole "
                                "number of days",
                                account.username.c_str(), account.hostname.c_str(), account.port.c_str(),
                                days.c_str());
    // Past a million days (some 2700 years) it is for good all the same.
    account.leaveDays = days.empty() ? 0 : static_cast<uint32_t>(std::min(std::strtoul(days.c_str(), nullptr, 10), 1000000ul));
    account.login = ReadPOP3Login(client);
    return account;
}

std::string ExtractMessageHeader(const std::string& bytes) {
    const size_t crlf = bytes.find("\r\n\r\n");
    const size_t lf = bytes.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos)
        throw CMessageException("The message is broken, the first %d bytes don't contain the message header",
                                static_cast<int>(bytes.size()));
    if (lf < crlf) {
        // Only bare LFs: lines that already end in CR LF keep their single CR.
        std::string header;
        for (size_t i = 0; i < lf + 2; ++i) {
            if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
                header += '\r';
            header += bytes[i];
        }
        return header;
    }
    return bytes.substr(0, crlf + 4);
}

void TimerCallback_RescanUsers(const std::string& argument) {
    Traced([&] {
        CDirInfoList entries = CFile::EnumerateDirs(MailStore().Root(), "*");
        std::shuffle(entries->begin(), entries->end(), ThreadRandom());
        const int32_t interval = Settings().mailIntervalSec.Get();
        // "." and ".." count too, so the last user still starts well before the interval ends.
        const double step = static_cast<double>(interval) / static_cast<double>(entries->size() + 1);
        int32_t k = 0;
        for (const CDirInfo& entry : *entries) {
            if (!IsUserName(entry.name))
                continue;
            TimerThread().PushCallback(std::make_shared<CTimerCallback>(
                static_cast<int32_t>(k * step), TimerCallback_InitiateUserPOP3Session, entry.name, false));
            ++k;
        }
    }, "TimerCallback_RescanUsers('%s')", argument.c_str());
}

void TimerCallback_InitiateUserPOP3Session(const std::string& userName) {
    Traced([&] {
        // A user held by an editor is collected at the next rescan; the timer serves everyone.
        auto user = UserPool().GetObject(userName, 0);
        if (!user) {
            Logger().Info("TimerCallback_InitiateUserPOP3Session('%s'): the user is locked, mail is collected later",
                          userName.c_str());
            return;
        }
        CXPathContext context(*user);
        CXPathObjectPtr clients = context.Eval("/user/pop3-clients/pop3-client");
        if (clients->GetNodeCount() == 0) {
            Logger().Warning("TimerCallback_InitiateUserPOP3Session('%s'): no POP3 servers defined", userName.c_str());
            return;
        }
        CPOP3ClientConnectionFactory factory;
        {
            std::lock_guard<std::mutex> hold(FactoryGuard());
            factory = Factory();
        }
        for (int i = 0; i < clients->GetNodeCount(); ++i) {
            CXPathContext client(clients->GetNode(i));
            // An account that cannot be read or set out for (its login, its leave-on-server-days,
            // its security, a port or host that does not resolve) is skipped with its ERROR lines;
            // the others are still collected.
            CParallelWorkUnitPtr collection;
            if (!Contained([&] { collection = factory(userName, ReadPOP3Account(client), user); },
                           "POP3 account %s@%s:%s of user %s", client.Eval("@username")->GetText().c_str(),
                           client.Eval("@hostname")->GetText().c_str(), client.Eval("@port")->GetText().c_str(),
                           userName.c_str()))
                continue;
            // Sticky: every collection of one account lands on one thread, which refuses a
            // second one while the first is still listed.
            ParallelWorkerPool().PushWorkUnit(collection, true);
        }
    }, "TimerCallback_InitiateUserPOP3Session('%s')", userName.c_str());
}

void TimerCallback_SpoolMessages(const std::string& argument) {
    Traced([&] {
        CDirInfoList entries = CFile::EnumerateDirs(MailStore().Root(), "*");
        for (const CDirInfo& entry : *entries) {
            if (!IsUserName(entry.name))
                continue;
            CFileInfoList files = CFile::EnumerateFiles(UserPath(entry.name, kSpoolDirectory), "*");
            if (files->empty())
                continue;
            // A locked user's spool waits for the next round; one user's failure leaves the
            // others' spools alone.
            Contained([&] {
                auto user = UserPool().GetObject(entry.name, 0);
                if (!user)
                    return;
                // Nor are messages queued for a ruleset an editor holds: a worker would only wait
                // for it and hand them back.
                if (RuleSetPool().IsHeldElsewhere(entry.name))
                    return;
                // Handed over in bursts: a worker woken for every message would take the
                // processor from this thread once per message.
                std::vector<CSequentialWorkUnitPtr> queued;
                for (const CFileInfo& file : *files) {
                    SpoolMessage(argument, entry.name, user, file, queued);
                    if (queued.size() >= kSpoolBurst) {
                        SequentialWorkerPool().PushWorkUnits(queued, false);
                        queued.clear();
                    }
                }
                SequentialWorkerPool().PushWorkUnits(queued, false);
            }, "TimerCallback_SpoolMessages('%s'): caught exception while processing user '%s'", argument.c_str(),
               entry.name.c_str());
        }
    }, "TimerCallback_SpoolMessages('%s')", argument.c_str());
}

void TimerCallback_FlushRuleSets(const std::string& argument) {
    Traced([&] { RuleSetPool().Clear(); }, "TimerCallback_FlushRuleSets('%s')", argument.c_str());
}

}  // namespace Ovrin
