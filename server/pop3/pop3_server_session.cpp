// The POP3 server session: the step machine of Process, one handler per command found through
// one table per state, the shared argument readers, the login with the mailbox lock, and the
// streaming of a message file.
#include "server/pop3/pop3_server_session.h"

#include <cinttypes>
#include <optional>
#include <sstream>
#include <vector>

#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/pop3/authentication.h"
#include "server/pop3/pop3_mailbox.h"
#include "server/pop3/pop3_message_stream.h"
#include "server/pop3/user_pool.h"
#include "server/rules/trace_address.h"

namespace Ovrin {

namespace {

constexpr uint32_t kChunkSize = 65536;
enum TState { stateAuthorization = 0, stateTransaction = 1, stateUpdate = 2 };
enum TPhase { phaseReceiving = 0, phaseSending = 1 };

using CWords = std::vector<std::string>;


}  // namespace

class CPOP3ServerConnection::CImpl {
public:
    CImpl(std::shared_ptr<CConnectedSocket> connection, std::string peer)
        : connection(std::move(connection)), peer(std::move(peer)) {}

    bool Process(bool& yield);
    CSocketWait GetWait() const;
    void Close();

    void Queue(const std::string& text) { reply += text; }

private:
    using CHandler = std::string (CImpl::*)(const CWords&);
    struct CCommand {
        const char* name;
        CHandler handler;
    };
    static const CCommand kAuthorizationCommands[];
    static const CCommand kTransactionCommands[];

    void ProcessClientRequest(const std::string& line);
    std::string ProcessClientRequestAuthState(const std::string& command, const CWords& arguments);
    std::string ProcessClientRequestTranState(const std::string& command, const CWords& arguments);
    static CHandler Find(const CCommand* table, const std::string& command);

    // The shared argument readers: false with the reply set when the arguments do not fit.
    bool ReadArgumentFromStream(const CWords& arguments, std::string& argument, std::string& failure);
    bool ReadTwoArgumentsFromStream(const CWords& arguments, std::string& first, std::string& second,
                                    std::string& failure);
    static bool NoArgument(const CWords& arguments, std::string& failure);
    // The message of a number argument, not marked deleted; null with the reply set otherwise.
    const CFileInfo* ReadMessage(const std::string& numberText, uint32_t& number, std::string& failure);
    const CFileInfo* AccessMessage(const std::string& numberText);

    bool AuthenticateLockMailBox(std::string& answer);
    void StartResponseFile(const CFileInfo& message, uint32_t lineLimit);
    void ProcessServerResponseFile();

    std::string User(const CWords& arguments);
    std::string Pass(const CWords& arguments);
    std::string Stat(const CWords& arguments);
    std::string List(const CWords& arguments);
    std::string Top(const CWords& arguments);
    std::string Retr(const CWords& arguments);
    std::string Dele(const CWords& arguments);
    std::string Rset(const CWords& arguments);
    std::string Last(const CWords& arguments);
    std::string Noop(const CWords& arguments);

public:
    std::shared_ptr<CConnectedSocket> connection;
    const std::string peer;
    TState state = stateAuthorization;
    TPhase phase = phaseSending;
    std::string user;
    std::string password;
    std::string mailboxName;
    std::optional<CPOP3Mailbox> mailbox;  // the lock and the snapshot, from a successful login
    std::shared_ptr<CFile> responseFile;
    std::optional<CPOP3MessageStream> stream;
    std::unique_ptr<char[]> buffer;  // while streaming only
    std::string reply;               // queued, handed to the connection a chunk at a time
    size_t replySent = 0;
    std::string chunk;
};

const CPOP3ServerConnection::CImpl::CCommand CPOP3ServerConnection::CImpl::kAuthorizationCommands[] = {
    {"USER", &CImpl::User},
    {"PASS", &CImpl::Pass},
    {nullptr, nullptr},
};

const CPOP3ServerConnection::CImpl::CCommand CPOP3ServerConnection::CImpl::kTransactionCommands[] = {
    {"STAT", &CImpl::Stat}, {"LIST", &CImpl::List}, {"TOP", &CImpl::Top},   {"RETR", &CImpl::Retr},
    {"DELE", &CImpl::Dele}, {"RSET", &CImpl::Rset}, {"LAST", &CImpl::Last}, {"NOOP", &CImpl::Noop},
    {nullptr, nullptr},
};

CPOP3ServerConnection::CImpl::CHandler CPOP3ServerConnection::CImpl::Find(const CCommand* table,
                                                                          const std::string& command) {
    for (; table->name != nullptr; ++table) {
        if (command == table->name)
            return table->handler;
    }
    return nullptr;
}

// ---- steps

bool CPOP3ServerConnection::CImpl::Process(bool& yield) {
    if (phase == phaseSending) {
        if (connection->Send(nullptr, 0) > 0) {
            yield = true;
            return true;
        }
        // A reply line before a message goes out with the message's first chunk: written apart,
        // the small line would hold the chunk back behind the peer's delayed acknowledgement.
        if (replySent < reply.size() && !(responseFile && reply.size() - replySent < kChunkSize)) {
            // A long reply (a LIST of a big mailbox) goes out in pieces, like a message.
            const size_t piece = std::min<size_t>(reply.size() - replySent, kChunkSize);
            connection->Send(reply.data() + replySent, static_cast<uint32_t>(piece));
            replySent += piece;
            if (replySent == reply.size()) {
                reply.clear();
                replySent = 0;
            }
            return true;
        }
        if (responseFile) {
            ProcessServerResponseFile();
            return true;
        }
        if (state == stateUpdate)
            return false;
        phase = phaseReceiving;
        return true;
    }
    std::string line;
    if (connection->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) == 0) {
        yield = true;
        return true;
    }
    ProcessClientRequest(ValidateRegexedLine(line));
    phase = phaseSending;
    return true;
}

CSocketWait CPOP3ServerConnection::CImpl::GetWait() const {
    if (phase == phaseReceiving || connection->GetPendingOutput() > 0)
        return connection->GetWait();
    CSocketWait wait;  // more of the reply to queue: no need to wait
    wait.readyNow = true;
    return wait;
}

void CPOP3ServerConnection::CImpl::Close() {
    if (!user.empty())
        Logger().Info("CPOP3ServerConnection::~CPOP3ServerConnection: user %s disconnected", user.c_str());
    responseFile.reset();
    if (state == stateUpdate && mailbox)
        mailbox->ApplyDeletions();
    mailbox.reset();  // closing the lock file deletes it
    connection.reset();
}

// ---- commands

void CPOP3ServerConnection::CImpl::ProcessClientRequest(const std::string& line) {
    Traced([&] {
        std::istringstream words(line);
        std::string command;
        words >> command;
        command = ToUpper(command);
        CWords arguments;
        for (std::string word; words >> word;)
            arguments.push_back(word);
        if (command == "QUIT") {
            state = stateUpdate;
            Queue("+OK Closing connection\r\n");
        } else if (state == stateAuthorization) {
            Queue(ProcessClientRequestAuthState(command, arguments));
        } else if (state == stateTransaction) {
            Queue(ProcessClientRequestTranState(command, arguments));
        } else {
            throw CMessageException("Unexpected connection state");
        }
    }, "CPOP3ServerConnection::ProcessClientRequest('%s')", line.c_str());
}

std::string CPOP3ServerConnection::CImpl::ProcessClientRequestAuthState(const std::string& command,
                                                                        const CWords& arguments) {
    return Traced([&] {
        if (CHandler handler = Find(kAuthorizationCommands, command))
            return (this->*handler)(arguments);
        user.clear();
        password.clear();
        return std::string("-ERR Will only accept USER and PASS in authorization state\r\n");
    }, "CPOP3ServerConnection::ProcessClientRequestAuthState('%s', 0x%08x)", command.c_str(), TraceAddress(&arguments));
}

std::string CPOP3ServerConnection::CImpl::ProcessClientRequestTranState(const std::string& command,
                                                                        const CWords& arguments) {
    return Traced([&] {
        if (CHandler handler = Find(kTransactionCommands, command))
            return (this->*handler)(arguments);
        return std::string("-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in "
                           "transaction state\r\n");
    }, "CPOP3ServerConnection::ProcessClientRequestTranState('%s', 0x%08x)", command.c_str(), TraceAddress(&arguments));
}

bool CPOP3ServerConnection::CImpl::ReadArgumentFromStream(const CWords& arguments, std::string& argument,
                                                          std::string& failure) {
    return Traced([&] {
        if (arguments.empty()) {
            failure = "-ERR Argument required\r\n";
            return false;
        }
        if (arguments.size() > 1) {
            failure = "-ERR Single argument required\r\n";
            return false;
        }
        argument = arguments[0];
        return true;
    }, "CPOP3ServerConnection::ReadArgumentFromStream(0x%08x, 0x%08x, 0x%08x)", TraceAddress(&arguments),
       TraceAddress(&argument), TraceAddress(&failure));
}

bool CPOP3ServerConnection::CImpl::ReadTwoArgumentsFromStream(const CWords& arguments, std::string& first,
                                                              std::string& second, std::string& failure) {
    return Traced([&] {
        if (arguments.empty()) {
            failure = "-ERR At least one argument required\r\n";
            return false;
        }
        if (arguments.size() > 2) {
            failure = "-ERR At most two arguments required\r\n";
            return false;
        }
        first = arguments[0];
        second = arguments.size() == 2 ? arguments[1] : std::string();
        return true;
    }, "CPOP3ServerConnection::ReadTwoArgumentsFromStream(0x%08x, 0x%08x, 0x%08x, 0x%08x)", TraceAddress(&arguments),
       TraceAddress(&first), TraceAddress(&second), TraceAddress(&failure));
}

bool CPOP3ServerConnection::CImpl::NoArgument(const CWords& arguments, std::string& failure) {
    if (arguments.empty())
        return true;
    failure = "-ERR Argument is unexpected\r\n";
    return false;
}

const CFileInfo* CPOP3ServerConnection::CImpl::AccessMessage(const std::string& numberText) {
    return Traced([&] { return mailbox->Access(numberText); }, "CPOP3ServerConnection::AccessMessage('%s')",
                  numberText.c_str());
}

const CFileInfo* CPOP3ServerConnection::CImpl::ReadMessage(const std::string& numberText, uint32_t& number,
                                                           std::string& failure) {
    if (!Matches(numberText, MessageNumberPattern())) {
        failure = "-ERR Malformed message ID\r\n";
        return nullptr;
    }
    const CFileInfo* message = AccessMessage(numberText);
    if (message == nullptr || message->flag) {
        failure = "-ERR No such message\r\n";
        return nullptr;
    }
    number = static_cast<uint32_t>(AtoI(numberText));
    return message;
}

std::string CPOP3ServerConnection::CImpl::User(const CWords& arguments) {
    if (!user.empty()) {
        user.clear();
        return "-ERR USER was unexpected\r\n";
    }
    std::string argument, failure;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    boost::smatch match;
    if (!boost::regex_match(argument, match, UserMailboxPattern()))
        return "-ERR Malformed username\r\n";
    user = match[1];
    mailboxName = match[2].matched ? std::string(match[2]) : std::string(kDefaultMailbox);
    return Format("+OK Username \"%s\" accepted, accessing \"%s\" mailbox\r\n", user.c_str(), mailboxName.c_str());
}

std::string CPOP3ServerConnection::CImpl::Pass(const CWords& arguments) {
    if (user.empty())
        return "-ERR PASS was unexpected\r\n";
    std::string argument, failure;
    if (!ReadArgumentFromStream(arguments, argument, failure)) {
        user.clear();
        return failure;
    }
    if (!Matches(argument, PasswordPattern())) {
        user.clear();
        return "-ERR Malformed password\r\n";
    }
    password = argument;
    std::string answer;
    if (AuthenticateLockMailBox(answer)) {
        state = stateTransaction;
    } else {
        user.clear();
        password.clear();
    }
    return answer;
}

bool CPOP3ServerConnection::CImpl::AuthenticateLockMailBox(std::string& answer) {
    return Traced([&] {
        try {
            CUserXMLPtr document = UserPool().GetObject(user);
            CXPathContext context(*document);
            CAuthenticationPtr authentication =
                CAuthentication::Create(context.Eval("/user/pop3-server/authentication")->GetNodePtr());
            if (!authentication->Authenticate(user, password)) {
                Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed for user %s "
                                 "from %s",
                                 user.c_str(), peer.c_str());
                answer = "-ERR Authentication failed\r\n";
                return false;
            }
            const std::string directory = UserPath(user, mailboxName);
            try {
                mailbox.emplace(directory);
            } catch (const std::exception&) {
                Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s authenticated from %s but "
                                 "the mailbox was busy",
                                 user.c_str(), peer.c_str());
                answer = "-ERR Unable to lock mailbox\r\n";
                return false;
            }
            mailbox->TakeSnapshot();
            Logger().Info("CPOP3ServerConnection::ProcessClientRequestAuthState: user %s logged in from %s",
                          user.c_str(), peer.c_str());
            answer = "+OK Mailbox ready\r\n";
            return true;
        } catch (const std::exception&) {
            mailbox.reset();
            Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox('%s'): failed to access user "
                             "configuration file, ignoring error and returning auth failure",
                             user.c_str());
            answer = "-ERR Authentication failed\r\n";
            return false;
        }
    }, "CPOP3ServerConnection::AuthenticateLockMailBox(0x%08x)", TraceAddress(&answer));
}

std::string CPOP3ServerConnection::CImpl::Stat(const CWords& arguments) {
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    return Format("+OK %u %" PRIu64 "\r\n", mailbox->GetCount(), mailbox->GetTotalSize());
}

std::string CPOP3ServerConnection::CImpl::List(const CWords& arguments) {
    if (arguments.empty()) {
        std::string text =
            Format("+OK %u message(s), %" PRIu64 " octet(s)\r\n", mailbox->GetCount(), mailbox->GetTotalSize());
        for (uint32_t number = 1; number <= mailbox->GetSize(); ++number) {
            const CFileInfo& message = mailbox->GetMessage(number);
            if (!message.flag)
                text += Format("%u %" PRIu64 "\r\n", number, message.size);
        }
        return text + ".\r\n";
    }
    std::string argument, failure;
    uint32_t number;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    const CFileInfo* message = ReadMessage(argument, number, failure);
    if (message == nullptr)
        return failure;
    return Format("+OK %s %" PRIu64 "\r\n", argument.c_str(), message->size);
}

std::string CPOP3ServerConnection::CImpl::Top(const CWords& arguments) {
    std::string numberText, countText, failure;
    if (!ReadTwoArgumentsFromStream(arguments, numberText, countText, failure))
        return failure;
    uint32_t number;
    const CFileInfo* message = ReadMessage(numberText, number, failure);
    if (message == nullptr)
        return failure;
    if (!countText.empty() && !Matches(countText, NumberPattern()))
        return "-ERR Malformed line count\r\n";
    // Ten digits may exceed 32 bits: such a count means every line.
    const uint64_t wanted = countText.empty() ? 0 : std::stoull(countText);
    const uint32_t count = wanted > CPOP3MessageStream::kWholeMessage ? CPOP3MessageStream::kWholeMessage
                                                                       : static_cast<uint32_t>(wanted);
    StartResponseFile(*message, count);
    if (count > 0)
        return Format("+OK Message header followed by the trailing CRLF and at most %u body line(s)\r\n", count);
    return "+OK Message header up to and including the trailing CRLF\r\n";
}

std::string CPOP3ServerConnection::CImpl::Retr(const CWords& arguments) {
    std::string argument, failure;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    uint32_t number;
    const CFileInfo* message = ReadMessage(argument, number, failure);
    if (message == nullptr)
        return failure;
    StartResponseFile(*message, CPOP3MessageStream::kWholeMessage);
    return Format("+OK %" PRIu64 " octet(s)\r\n", message->size);
}

// Opens the message for streaming after the reply's first line.
void CPOP3ServerConnection::CImpl::StartResponseFile(const CFileInfo& message, uint32_t lineLimit) {
    responseFile = std::make_shared<CFile>(message.path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
    stream.emplace(lineLimit);
    if (!buffer)
        buffer.reset(new char[kChunkSize + 1]);
}

std::string CPOP3ServerConnection::CImpl::Dele(const CWords& arguments) {
    std::string argument, failure;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    uint32_t number;
    if (ReadMessage(argument, number, failure) == nullptr)
        return failure;
    mailbox->MarkDeleted(number);
    return "+OK Message deleted\r\n";
}

std::string CPOP3ServerConnection::CImpl::Rset(const CWords& arguments) {
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    mailbox->Reset();
    return "+OK Mailbox reset\r\n";
}

std::string CPOP3ServerConnection::CImpl::Last(const CWords& arguments) {
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    return Format("+OK %u\r\n", mailbox->GetLastAccessed());
}

std::string CPOP3ServerConnection::CImpl::Noop(const CWords& arguments) {
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    return "+OK\r\n";
}

// One chunk of the file per call; the connection has flushed the previous one by now.
void CPOP3ServerConnection::CImpl::ProcessServerResponseFile() {
    Traced([&] {
        chunk.assign(reply, replySent);
        reply.clear();
        replySent = 0;
        bool more = true;
        // A short read is most likely the end: finding it now sends the terminator with the
        // last lines instead of in a small write of its own.
        for (int reads = 0; more && reads < 2; ++reads) {
            const uint32_t got = responseFile->Read(buffer.get(), kChunkSize);
            if (got == 0) {
                stream->Finish(chunk);
                more = false;
                break;
            }
            buffer[got] = '\0';
            more = stream->Feed(buffer.get(), got, chunk);
            if (got == kChunkSize)
                break;
        }
        if (!more) {
            responseFile.reset();
            stream.reset();
            buffer.reset();
        }
        // Sent by length: a NUL inside the message goes out as it is.
        connection->Send(chunk.data(), static_cast<uint32_t>(chunk.size()));
    }, "CPOP3ServerConnection::ProcessServerResponseFile");
}

// ---- the unit

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection)
    : CPOP3ServerConnection(connection, connection->GetPeerAddress().GetName()) {}

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection, const std::string& peer)
    : CParallelWorkUnit(Format("CPOP3ServerConnection(%s, 0x%08x)", peer.c_str(), TraceAddress(connection.get()))),
      impl(std::make_unique<CImpl>(connection, peer)) {
    Traced([&] {
        impl->connection->SetMaxLineLength(kMaxCommandLine);
        impl->Queue("+OK " + Config().GetValue("product-name") + " " + Config().GetValue("version") + "\r\n");
    }, "CPOP3ServerConnection::CPOP3ServerConnection(0x%08x)", TraceAddress(connection.get()));
}

CPOP3ServerConnection::~CPOP3ServerConnection() {
    Contained([&] { impl->Close(); }, "CPOP3ServerConnection::~CPOP3ServerConnection()");
}

bool CPOP3ServerConnection::Process(bool& yield) {
    return Traced([&] { return impl->Process(yield); }, "CPOP3ServerConnection::Process(0x%08x)",
                  TraceAddress(this));
}

CSocketWait CPOP3ServerConnection::GetWait() const { return impl->GetWait(); }

}  // namespace Ovrin
