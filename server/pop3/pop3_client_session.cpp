// The POP3 client session: one step at a time through the command queue, the message path's
// commands sent ahead where the server allows it; replies are checked in one place, messages
// are streamed into files in .raw (lines of any length, in pieces), headers kept in memory,
// and each command's callback moves the collection on. A message is recorded as collected by
// its unique id as soon as its file is handed over, so that a session that ends before QUIT
// leaves nothing to be stored again by the next one.
#include "server/pop3/pop3_client_session.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "common/exception.h"
#include "common/format.h"
#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/log.h"
#include "common/oauth_client.h"
#include "common/text.h"
#include "common/tls_transport.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/core/worker_pools.h"
#include "server/pop3/oauth_tokens.h"
#include "server/rules/ruleset.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

std::string Masked(const std::string& secret) { return std::string(secret.size(), '*'); }

// The words of a reply after "+OK".
std::vector<std::string> Words(const std::string& text, size_t count) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (words.size() < count && in >> word)
        words.push_back(word);
    words.resize(count);
    return words;
}

}  // namespace

CPOP3ClientConnection::CPOP3ClientConnection(const CPOP3Account& account, const std::string& user,
                                             std::shared_ptr<CXMLDocument> userConfiguration)
    : CParallelWorkUnit(Format("CPOP3ClientConnection(%s, %s@%s:%s)", user.c_str(), account.username.c_str(),
                               account.hostname.c_str(), account.port.c_str())),
      hostname(account.hostname), port(account.port), username(account.username), password(account.password),
      leaveOnServer(account.leaveOnServer), leaveDays(account.leaveDays), login(account.login), user(user),
      userConfiguration(std::move(userConfiguration)) {
    // The trace shows the password masked: it would otherwise end up in the log.
    Traced([&] {
        // At least 1: the grouping of a collection divides by it.
        messagesPerSync = Settings().pop3MessagesPerSync.Get();
        messagesPerSession = Settings().pop3MessagesPerSession.Get();
        rawDirectory = UserPath(user, kRawDirectory);
        remotePort = std::make_unique<CInternetPort>(port, CInternetPort::TCP);
        this->security = ParsePOP3Security(account.security, *remotePort);
        if (this->security != TPOP3Security::None)
            tls = POP3ClientTLSContext();
        // The timer thread that makes the session serves every user: a slow resolver must not
        // hold it, so the name is resolved apart while the session waits for it in its steps.
        lookup = std::make_unique<CNameLookup>(hostname);
        buffer = std::make_unique<char[]>(kBufferSize);
    }, "CPOP3ClientConnection::CPOP3ClientConnection('%s', '%s', '%s', '%s', '%s', 0x%08x)", account.hostname.c_str(),
       account.port.c_str(), account.username.c_str(), Masked(account.password).c_str(), user.c_str(),
       LabelAddress(this->userConfiguration.get()));
}

CPOP3ClientConnection::~CPOP3ClientConnection() = default;

void CPOP3ClientConnection::Queue(uint32_t number, std::string text, CCallback callback, CData data,
                                  unsigned flags) {
    commands.push_back(CCommand{number, std::move(text), data, callback, (flags & kPipelined) != 0,
                                (flags & kOptional) != 0, (flags & kPerMessage) != 0});
}

void CPOP3ClientConnection::SendAhead() {
    if (!pipelining || !current.pipelined)
        return;
    while (!commands.empty() && commands.front().pipelined && ahead.size() < kPipelineDepth) {
        ahead.push_back(std::move(commands.front()));
        commands.pop_front();
        connection->SendLine(ahead.back().text);
    }
}

void CPOP3ClientConnection::FinishReply() {
    if (ahead.empty()) {
        phase = 0;
    } else {
        current = std::move(ahead.front());
        ahead.pop_front();
    }
    reply.clear();
    refused = false;
    file.reset();  // a file still marked delete-on-close goes now
    dataBegun = false;
    dataComplete = false;
    dataOverflow = false;
    midLine = false;
    lines.clear();
    bufferUsed = 0;
}

CPOP3ClientMessagePtr& CPOP3ClientConnection::Message(uint32_t number) {
    if (number == 0 || number > messages.size() || !messages[number - 1])
        throw CMessageException("Message number %u is not collected in this session", number);
    return messages[number - 1];
}

std::string CPOP3ClientConnection::Uid(uint32_t number) const {
    return number > 0 && number <= uids.size() ? uids[number - 1] : std::string();
}

void CPOP3ClientConnection::LeaveBadMessage(uint32_t number, const std::string& why) {
    if (number == 0 || number > bad.size() || bad[number - 1])
        return;  // one line per message
    bad[number - 1] = true;
    const std::string uid = Uid(number);
    Logger().Warning("%s: message %u%s%s%s is left on the POP3 server at %s:%s for user %s: %s", GetName().c_str(),
                     number, uid.empty() ? "" : " (", uid.c_str(), uid.empty() ? "" : ")", hostname.c_str(),
                     port.c_str(), username.c_str(), why.c_str());
}

bool CPOP3ClientConnection::DueForDeletion(std::time_t collected, std::time_t now) const {
    if (!leaveOnServer)
        return true;
    return leaveDays > 0 && now - collected >= static_cast<std::time_t>(leaveDays) * 86400;
}

bool CPOP3ClientConnection::Process(bool& yield) {
    return Traced([&] {
        bool waiting = false;
        const bool more = Step(waiting);
        // A step that only waits gives the thread to the others; the worker's pause ends when
        // the connection is ready.
        yield = waiting;
        return more;
    }, "CPOP3ClientConnection::Process(0x%08x)", LabelAddress(&yield));
}

CSocketWait CPOP3ClientConnection::GetWait() const {
    if (tokenRequest)
        return tokenRequest->GetWait();
    if (awaited) {
        CSocketWait wait;
        wait.descriptor = awaited->HeaderEventDescriptor();
        wait.directions = CSocketWait::kRead;
        return wait;
    }
    if (connection)
        return connection->GetWait();
    if (lookup)
        return lookup->GetWait();
    if (factory)
        return factory->GetWait();
    return CSocketWait{};
}

bool CPOP3ClientConnection::PrepareLogin() {
    prepared = true;
    if (login.auth != TPOP3Auth::User && security == TPOP3Security::None) {
        Logger().Error("%s: POP3 server at %s:%s for user %s is not asked to log in, the account's auth needs TLS "
                       "and its security is none; terminating connection abnormally",
                       GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str());
        return false;
    }
    if (!IsOAuth(login.auth)) {
        QueueDialogue(password);
        return true;
    }
    try {
        const std::string token = OAuthTokens().Held(TokenAccount(), tokenRequest);
        if (!token.empty())
            QueueDialogue(token);
        return true;
    } catch (const std::exception& e) {
        LogNoToken(e.what());
        return false;
    }
}

COAuthTokens::CAccount CPOP3ClientConnection::TokenAccount() const {
    return {user, username, hostname, port, login};
}

void CPOP3ClientConnection::LogNoToken(const char* reason) const {
    Logger().Error("%s: POP3 server at %s:%s for user %s is not asked to log in, no access token, %s; terminating "
                   "connection abnormally",
                   GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str(), reason);
}

bool CPOP3ClientConnection::AwaitToken(bool& waiting) {
    try {
        if (!tokenRequest->Perform()) {
            waiting = true;
            return true;
        }
        const std::string token = OAuthTokens().Complete(TokenAccount(), *tokenRequest);
        tokenRequest.reset();
        QueueDialogue(token);
        return true;
    } catch (const COAuthGrantRefused&) {
        Logger().Error("%s: POP3 account %s@%s:%s must be authorized again, its token endpoint refused the refresh "
                       "token; terminating connection abnormally",
                       GetName().c_str(), username.c_str(), hostname.c_str(), port.c_str());
    } catch (const std::exception& e) {
        LogNoToken(e.what());
    }
    return false;
}

bool CPOP3ClientConnection::WithinConnectTime(const char* missing) const {
    if (std::time(nullptr) < connectDeadline)
        return true;
    Logger().Error("%s: POP3 server at %s:%s for user %s is not asked to log in, %s within %d seconds; terminating "
                   "connection abnormally",
                   GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str(), missing,
                   static_cast<int>(Settings().pop3ConnectionAttemptTimeoutSec.Get()));
    return false;
}

void CPOP3ClientConnection::QueueDialogue(const std::string& secret) {
    // The time for the connection counts from here, after any wait for the token endpoint.
    connectDeadline = std::time(nullptr) + Settings().pop3ConnectionAttemptTimeoutSec.Get();
    if (security == TPOP3Security::StartTLS)
        Queue(0, "STLS\r\n", &CPOP3ClientConnection::StlsCallback);
    if (login.auth == TPOP3Auth::User) {
        Queue(0, "USER " + username + "\r\n", nullptr);
        Queue(0, "PASS " + password + "\r\n", nullptr);
    } else {
        sasl = std::make_unique<CPOP3SASL>(login.auth, username, secret, hostname, port);
        Queue(0, "CAPA\r\n", &CPOP3ClientConnection::SaslCapaCallback, CData::Lines, kOptional);
        Queue(0, sasl->Command(), nullptr);
    }
    Queue(0, "CAPA\r\n", &CPOP3ClientConnection::CapaCallback, CData::Lines, kOptional);
    Queue(0, "UIDL\r\n", &CPOP3ClientConnection::UidlCallback, CData::Lines, kOptional);
    Queue(0, "STAT\r\n", &CPOP3ClientConnection::StatCallback);
}

bool CPOP3ClientConnection::Step(bool& waiting) {
    if (!prepared && !PrepareLogin())
        return false;
    if (tokenRequest)
        return AwaitToken(waiting);
    if (abandoned)
        return false;
    if (lookup) {
        if (!lookup->Done()) {
            waiting = true;
            return WithinConnectTime("its name was not resolved");
        }
        factory = std::make_shared<CClientSocketFactory>(CInternetAddress(), CInternetPort(), lookup->Take(),
                                                         *remotePort);
        lookup.reset();
    }
    if (factory) {
        std::shared_ptr<CConnectedSocket> connected;
        if (!factory->Connect(connected)) {
            waiting = true;
            return WithinConnectTime("it did not accept the connection");
        }
        factory.reset();
        connection = connected;
        connection->SetInactivityTimeout(static_cast<uint32_t>(Settings().outgoingConnectionTimeoutSec.Get()));
        CInternetAddress peer = connection->GetPeerAddress();
        peerName = peer.GetName();
        peerAddress = peer.GetDottedAddress();
        if (security == TPOP3Security::TLS)
            StartTLS();
    }
    if (securing)
        return Handshake(waiting);
    if (phase == 1) {
        SendAhead();
        // Also where a long wait at a NOOP meets the inactivity time-out.
        if (connection->Send(nullptr, 0) > 0) {
            waiting = true;
            return true;
        }
        if (reply.empty()) {
            std::string line;
            if (connection->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) == 0) {
                waiting = true;
                return true;
            }
            if (sasl && IsContinuation(line) && current.text.compare(0, 5, "AUTH ") == 0) {
                connection->SendLine(sasl->Answer());
                return true;
            }
            if (line.compare(0, 3, "+OK") != 0) {
                if (!(current.optional || current.perMessage) || line.compare(0, 4, "-ERR") != 0)
                    ThrowReply(ValidateRegexedLine(line));
                if (current.perMessage)
                    LeaveBadMessage(current.number, Format("asked '%s', it replied '%s'", Trim(current.text).c_str(),
                                                           ValidateRegexedLine(line).c_str()));
                refused = true;
            }
            reply = ValidateRegexedLine(line);
            return true;
        }
        if (refused) {
            FinishReply();
            return true;
        }
        if (current.data != CData::None && !dataComplete) {
            ReceiveData(waiting);
            return true;
        }
        if (current.callback) {
            std::string text = reply.substr(3);
            text.erase(0, text.find_first_not_of(" \t\r\n\f\v"));
            if (!(this->*current.callback)(current.number, text, file)) {
                waiting = true;  // on the header passes: called again after the pause
                return true;
            }
        }
        FinishReply();
        return true;
    }
    if (commands.empty())
        return false;
    current = std::move(commands.front());
    commands.pop_front();
    if (current.text.empty()) {
        (this->*current.callback)(current.number, "", nullptr);
        return true;
    }
    if (current.text == "QUIT\r\n" && (handedFiles || (record && record->HasUnconfirmed()))) {
        // The remote deletes at QUIT: every file handed over must survive a crash first, and
        // then the record that names them; also the files of a session cut short, whose
        // messages this one deleted by the record alone. QUIT waits for every answer before
        // it, so every download is in.
        CFile::SyncFileSystem(rawDirectory);
        if (record)
            record->Confirm();
        handedFiles = false;
    }
    connection->SendLine(current.text);
    phase = 1;
    return true;
}

void CPOP3ClientConnection::StartTLS() {
    connection->StartTLS(tls, hostname);
    securing = true;
}

bool CPOP3ClientConnection::Handshake(bool& waiting) {
    try {
        if (connection->Handshake())
            securing = false;
        else
            waiting = true;
        return true;
    } catch (const CTLSTransport::CHandshakeException& e) {
        // Nothing has been asked of the remote: the session ends here, in one line.
        Logger().Error("%s: POP3 server at %s:%s for user %s could not be secured, %s; terminating connection "
                       "abnormally",
                       GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str(), e.what());
        return false;
    }
}

std::string CPOP3ClientConnection::ShownCommand(const CCommand& command) const {
    if (command.text.compare(0, 5, "PASS ") == 0)
        return "PASS " + Masked(password) + "\r\n";
    return MaskedAuthCommand(command.text);
}

void CPOP3ClientConnection::ThrowReply(const std::string& shown) const {
    throw CMessageException("POP3 server at %s:%s for user %s when asked '%s' replied with '%s', terminating "
                            "connection abnormally",
                            hostname.c_str(), port.c_str(), username.c_str(), ShownCommand(current).c_str(),
                            shown.c_str());
}

std::string CPOP3ClientConnection::ReceivedLine() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S", &local);
    // East of UTC or at UTC is "+".
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    return Format("Received: from %s ([%s]) by %s; %s %s%04d\r\n", peerName.c_str(), peerAddress.c_str(),
                  CInternetAddress(static_cast<uint32_t>(0)).GetName().c_str(), date, offset < 0 ? "-" : "+",
                  static_cast<int>((minutes / 60) * 100 + minutes % 60));
}

void CPOP3ClientConnection::CreateDataFile() {
    const std::string pattern = NewMessageFilePattern(rawDirectory, CMessageOrigin::Downloaded) + kPartialSuffix;
    file = std::make_shared<CFile>(pattern, CFile::ACCESS_READ | CFile::ACCESS_WRITE, CFile::SHARE_READ,
                                   CFile::CREATE_NEW,
                                   CFile::UNIQUE_NAME | CFile::DELETE_ON_WRITE_FAILURE | CFile::DELETE_ON_CLOSE);
}

// Every answer begins with the "Received:" line. A header stays in memory: a file made and
// deleted for each one would cost more than the header's filtering (and ext4 slows down the
// creation of files after many deletions).
void CPOP3ClientConnection::BeginData() {
    dataBegun = true;
    midLine = false;
    if (current.data == CData::Lines)
        return;
    const std::string received = ReceivedLine();
    if (current.data == CData::File) {
        CreateDataFile();
        file->Write(received.data(), static_cast<uint32_t>(received.size()));
    } else {
        std::memcpy(buffer.get(), received.data(), received.size());
        bufferUsed = static_cast<uint32_t>(received.size());
    }
}

void CPOP3ClientConnection::WriteBuffer() {
    if (bufferUsed > 0)
        file->Write(buffer.get(), bufferUsed);
    bufferUsed = 0;
}

void CPOP3ClientConnection::ReceiveData(bool& waiting) {
    if (!dataBegun)
        BeginData();
    std::string line;
    for (;;) {
        const uint32_t got = connection->Recv(nullptr, kMaxDataLine, CConnectedSocket::xferPIECE, &line);
        if (got == 0) {
            waiting = true;
            return;
        }
        const bool whole = got > line.size();
        // Only a line's beginning is stuffed or ends the data.
        const bool begins = !midLine;
        midLine = !whole;
        if (begins && !line.empty() && line[0] == '.') {
            line.erase(0, 1);
            if (line.empty() && whole)
                break;  // the terminator
        }
        if (current.data == CData::Lines) {
            // No capability or unique id is that long: such a line is left out whole.
            if (begins && whole)
                lines.push_back(line);
            continue;
        }
        if (whole)
            line += "\r\n";
        const uint32_t length = static_cast<uint32_t>(line.size());
        if (bufferUsed + length > kBufferSize) {
            if (current.data != CData::File) {
                dataOverflow = true;  // read to its end all the same, then dropped
                continue;
            }
            WriteBuffer();
        }
        std::memcpy(buffer.get() + bufferUsed, line.data(), length);
        bufferUsed += length;
    }
    if (current.data == CData::File) {
        WriteBuffer();
        file->SetFilePointer(0, CFile::BEGIN);
    }
    dataComplete = true;
}

bool CPOP3ClientConnection::StlsCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        StartTLS();
        return true;
    }, "CPOP3ClientConnection::StlsCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::SaslCapaCallback(uint32_t number, const std::string& text,
                                             const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        std::string capaLines;
        for (const std::string& line : lines)
            capaLines += line + "\n";
        if (!sasl->OfferedIn(capaLines)) {
            Logger().Error("%s: POP3 server at %s:%s for user %s does not offer SASL %s; terminating connection "
                           "abnormally",
                           GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str(), sasl->Mechanism());
            abandoned = true;
        }
        return true;
    }, "CPOP3ClientConnection::SaslCapaCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::CapaCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        // One capability a line, its name first.
        for (const std::string& line : lines)
            if (ToUpper(Words(line, 1)[0]) == "PIPELINING")
                pipelining = true;
        return true;
    }, "CPOP3ClientConnection::CapaCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::UidlCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        // "n uid" a line; a line that says otherwise leaves its message without an id, to be
        // collected as from a server without UIDL.
        std::map<uint32_t, std::string> listed;
        for (const std::string& line : lines) {
            const std::vector<std::string> words = Words(line, 3);
            if (Matches(words[0], NumberPattern()) && CCollectedRecord::IsUid(words[1]) && words[2].empty())
                listed[static_cast<uint32_t>(std::strtoul(words[0].c_str(), nullptr, 10))] = words[1];
        }
        // An id that two messages share tells neither apart: both go without, lest the one
        // never downloaded be deleted as the other.
        std::map<std::string, int> uses;
        for (const auto& entry : listed)
            ++uses[entry.second];
        haveUids = true;
        uids.clear();
        for (const auto& [n, uid] : listed)
            if (n > 0 && n <= (1u << 24) && uses[uid] == 1) {
                if (uids.size() < n)
                    uids.resize(n);
                uids[n - 1] = uid;
            }
        record = std::make_unique<CCollectedRecord>(
            CCollectedRecord::PathOf(MailStore(), user, hostname, port, username));
        return true;
    }, "CPOP3ClientConnection::UidlCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text), LabelAddress(data.get()));
}

bool CPOP3ClientConnection::StatCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        const std::string count = Words(text, 1)[0];
        if (!Matches(count, NumberPattern()))
            throw CMessageException("POP3 server at %s:%s for user %s when asked '%s' replied with '+OK %s ...', "
                                    "terminating connection abnormally",
                                    hostname.c_str(), port.c_str(), username.c_str(), current.text.c_str(),
                                    count.c_str());
        const unsigned long remote = std::strtoul(count.c_str(), nullptr, 10);
        const size_t limit = messagesPerSession > 0 ? static_cast<size_t>(messagesPerSession) : 0;
        if (leaveOnServer && !haveUids) {
            // Without unique ids a message left there would be collected again at every session.
            Logger().Warning("%s: POP3 server at %s:%s for user %s does not answer UIDL, so mail cannot be left "
                             "on it; nothing is collected while leave-on-server is \"true\"",
                             GetName().c_str(), hostname.c_str(), port.c_str(), username.c_str());
            Queue(0, "QUIT\r\n", nullptr);
            return true;
        }
        if (record) {
            std::set<std::string> listed;
            for (const std::string& uid : uids)
                if (!uid.empty())
                    listed.insert(uid);
            record->Prune(listed);
        }
        // Messages recorded as collected are only deleted, when due; the others are collected,
        // up to the session's limit.
        const std::time_t now = std::time(nullptr);
        std::vector<uint32_t> collect;
        for (uint32_t i = 1; i <= remote && (collect.size() < limit || i <= uids.size()); ++i) {
            const std::string uid = Uid(i);
            if (record && !uid.empty() && record->Contains(uid)) {
                if (DueForDeletion(record->CollectedAt(uid), now))
                    Queue(i, Format("DELE %u\r\n", i), nullptr, CData::None, kPipelined);
            } else if (collect.size() < limit && !(leaveOnServer && uid.empty())) {
                collect.push_back(i);
            }
        }
        messages.assign(collect.empty() ? 0 : collect.back(), nullptr);
        bad.assign(messages.size(), false);
        const size_t sync = static_cast<size_t>(messagesPerSync);
        for (size_t k = 0; k < collect.size(); ++k) {
            const uint32_t i = collect[k];
            if (k % sync == 0)
                groups.emplace_back();
            groups.back().push_back(i);
            messages[i - 1] = std::make_shared<CPOP3ClientMessage>(user, userConfiguration);
            Queue(i, Format("LIST %u\r\n", i), &CPOP3ClientConnection::ListCallback, CData::None,
                  kPipelined | kPerMessage);
            Queue(i, Format("TOP %u 0\r\n", i), &CPOP3ClientConnection::TopCallback, CData::Header,
                  kPipelined | kPerMessage);
            if (k % sync == sync - 1 || k + 1 == collect.size())
                Queue(static_cast<uint32_t>(groups.size()), "NOOP\r\n", &CPOP3ClientConnection::NoopCallback);
        }
        Queue(0, "QUIT\r\n", nullptr);
        return true;
    }, "CPOP3ClientConnection::StatCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::ListCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        const std::vector<std::string> words = Words(text, 2);
        const bool valid = Matches(words[0], NumberPattern()) && Matches(words[1], NumberPattern()) &&
                           std::strtoul(words[0].c_str(), nullptr, 10) == number && number != 0;
        if (!valid) {
            LeaveBadMessage(number, Format("asked '%s', it replied '+OK %s %s ...'", Trim(current.text).c_str(),
                                           words[0].c_str(), words[1].c_str()));
            return true;
        }
        Message(number)->SetMessageSize(static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 10)));
        return true;
    }, "CPOP3ClientConnection::ListCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::TopCallback(uint32_t number, const std::string& text,
                                        const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        if (bad[number - 1])
            return true;
        // A header as long as the buffer or longer is none: processing reads no more than that.
        std::string header;
        if (!dataOverflow && bufferUsed < kBufferSize)
            header.assign(buffer.get(), bufferUsed);
        CPOP3ClientMessagePtr& message = Message(number);
        message->SetMessageHeader(header);
        message->CreateHeaderEvent();
        SequentialWorkerPool().PushWorkUnit(message, false);
        return true;
    }, "CPOP3ClientConnection::TopCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text), LabelAddress(data.get()));
}

bool CPOP3ClientConnection::NoopCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        const std::vector<uint32_t>& group = groups.at(number - 1);
        for (uint32_t j : group)
            if (!bad[j - 1] && !Message(j)->HeaderProcessed()) {
                awaited = Message(j);
                return false;
            }
        awaited.reset();
        for (uint32_t j : group)
            if (!bad[j - 1] && !Message(j)->HeaderFailure().empty())
                LeaveBadMessage(j, "its header could not be processed: " + Message(j)->HeaderFailure());
        // The downloads, then the deletions once every download is answered: a download the
        // server refuses leaves its message there. Pushed to the front from the last back.
        commands.push_front(CCommand{number, "", CData::None, &CPOP3ClientConnection::StoredCallback});
        for (auto j = group.rbegin(); j != group.rend(); ++j)
            if (!bad[*j - 1] && Message(*j)->GetResult() != kDeleteMailbox)
                commands.push_front(CCommand{*j, Format("RETR %u\r\n", *j), CData::File,
                                             &CPOP3ClientConnection::RetrCallback, true, false, true});
        return true;
    }, "CPOP3ClientConnection::NoopCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::StoredCallback(uint32_t number, const std::string& text,
                                           const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        const std::vector<uint32_t>& group = groups.at(number - 1);
        for (auto j = group.rbegin(); j != group.rend(); ++j) {
            if (bad[*j - 1])
                continue;
            // Just collected: deleted unless it is to stay, or unless the rules said "<delete>".
            if (Message(*j)->GetResult() == kDeleteMailbox || !leaveOnServer)
                commands.push_front(CCommand{*j, Format("DELE %u\r\n", *j), CData::None,
                                             &CPOP3ClientConnection::DeleCallback, true, false, false});
            else
                Message(*j)->ReleaseHeaderEvent();
        }
        return true;
    }, "CPOP3ClientConnection::StoredCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text), LabelAddress(data.get()));
}

bool CPOP3ClientConnection::RetrCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        // Under a .msg name from now on; made durable, with all others, before QUIT. Drawn
        // afresh: the download's own name without ".part" may be taken by an earlier download
        // of the same millisecond, whose partial name is free again once it was renamed.
        const std::string partial = data->GetFilename();
        std::string name;
        if (!CFile::MoveFileToUniqueName(partial, NewMessageFilePattern(rawDirectory, CMessageOrigin::Downloaded), name))
            throw CMessageException("Unable to move file %s to %s", partial.c_str(), name.c_str());
        data->SetDeleteOnClose(false);
        file.reset();
        const std::string uid = Uid(number);
        if (record && !uid.empty()) {
            try {
                record->Add(uid, std::time(nullptr));
            } catch (...) {
                // Not recorded, so not stored: the message stays on the server for the next session.
                CFile::DeleteFile(name);
                throw;
            }
        }
        CPOP3ClientMessagePtr& message = Message(number);
        message->AttachMessageFile(name);
        handedFiles = true;
        SequentialWorkerPool().PushWorkUnit(CPOP3ClientMessage::FilePass(message), false);
        return true;
    }, "CPOP3ClientConnection::RetrCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::DeleCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        Message(number)->ReleaseHeaderEvent();
        return true;
    }, "CPOP3ClientConnection::DeleCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

}  // namespace Ovrin
