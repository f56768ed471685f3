// The POP3 server session's commands: one handler per command, found through one table per
// state, and the shared readers of arguments and message numbers.
#include <cinttypes>
#include <sstream>

#include "common/format.h"
#include "common/password_hash.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/pop3/pop3_server_session_impl.h"

namespace Ovrin {

const CPOP3ServerConnection::CImpl::CCommand CPOP3ServerConnection::CImpl::kAuthorizationCommands[] = {
    {"USER", &CImpl::User}, {"PASS", &CImpl::Pass}, {"AUTH", &CImpl::Auth}, {"STLS", &CImpl::Stls},
    {"CAPA", &CImpl::Capa}, {nullptr, nullptr},
};

const CPOP3ServerConnection::CImpl::CCommand CPOP3ServerConnection::CImpl::kTransactionCommands[] = {
    {"STAT", &CImpl::Stat}, {"LIST", &CImpl::List}, {"UIDL", &CImpl::Uidl}, {"TOP", &CImpl::Top},
    {"RETR", &CImpl::Retr}, {"DELE", &CImpl::Dele}, {"RSET", &CImpl::Rset}, {"LAST", &CImpl::Last},
    {"NOOP", &CImpl::Noop}, {"CAPA", &CImpl::Capa}, {nullptr, nullptr},
};

CPOP3ServerConnection::CImpl::CHandler CPOP3ServerConnection::CImpl::Find(const CCommand* table,
                                                                          const std::string& command) {
    for (; table->name != nullptr; ++table) {
        if (command == table->name)
            return table->handler;
    }
    return nullptr;
}

namespace {

// Lines that carry a secret are shown by their command alone.
std::string TraceLine(const std::string& line, bool secret) {
    if (secret)
        return "(AUTH response)";
    const size_t start = line.find_first_not_of(" \t");
    const std::string command = ToUpper(line.substr(start == std::string::npos ? line.size() : start, 4));
    return command == "PASS" || command == "AUTH" ? command + " ..." : line;
}

}  // namespace

void CPOP3ServerConnection::CImpl::ProcessClientRequest(const std::string& line) {
    Traced([&] {
        if (saslPending) {
            saslPending = false;
            Queue(SASLPlain(line));
            return;
        }
        std::istringstream words(line);
        std::string command;
        words >> command;
        const size_t commandEnd = words.eof() ? line.size() : static_cast<size_t>(words.tellg());
        lineArgument = commandEnd < line.size() ? line.substr(commandEnd + 1) : std::string();
        command = ToUpper(command);
        CWords arguments;
        for (std::string word; words >> word;)
            arguments.push_back(word);
        if (command == "QUIT") {
            Queue(Quit());
        } else if (state == stateAuthorization) {
            Queue(ProcessClientRequestAuthState(command, arguments));
        } else if (state == stateTransaction) {
            Queue(ProcessClientRequestTranState(command, arguments));
        } else {
            throw CMessageException("Unexpected connection state");
        }
    }, "CPOP3ServerConnection::ProcessClientRequest('%s')", TraceLine(line, saslPending).c_str());
}

std::string CPOP3ServerConnection::CImpl::Quit() {
    const bool transaction = state == stateTransaction;
    state = stateUpdate;
    if (!transaction)
        return "+OK Closing connection\r\n";
    // Done before the answer, so that a client that comes back at once finds the mailbox free
    // and the messages gone.
    const std::vector<uint32_t> kept = mailbox->ApplyDeletions();
    mailbox.reset();
    if (kept.empty())
        return "+OK Closing connection\r\n";
    std::string numbers;
    for (uint32_t number : kept)
        numbers += (numbers.empty() ? "" : " ") + std::to_string(number);
    return Format("-ERR [SYS/TEMP] Unable to delete message(s) %s, closing connection\r\n", numbers.c_str());
}

std::string CPOP3ServerConnection::CImpl::ProcessClientRequestAuthState(const std::string& command,
                                                                        const CWords& arguments) {
    return Traced([&] {
        if (CHandler handler = Find(kAuthorizationCommands, command))
            return (this->*handler)(arguments);
        return RefuseInAuthorization();
    }, "CPOP3ServerConnection::ProcessClientRequestAuthState('%s', 0x%08x)", command.c_str(), LabelAddress(&arguments));
}

std::string CPOP3ServerConnection::CImpl::ProcessClientRequestTranState(const std::string& command,
                                                                        const CWords& arguments) {
    return Traced([&] {
        if (CHandler handler = Find(kTransactionCommands, command))
            return (this->*handler)(arguments);
        return std::string("-ERR Will only accept STAT, LIST, UIDL, TOP, RETR, DELE, RSET, LAST, NOOP and CAPA "
                           "in transaction state\r\n");
    }, "CPOP3ServerConnection::ProcessClientRequestTranState('%s', 0x%08x)", command.c_str(), LabelAddress(&arguments));
}

std::string CPOP3ServerConnection::CImpl::RefuseInAuthorization() {
    user.clear();
    password.clear();
    return OffersSTLS() ? "-ERR Will only accept USER, PASS, AUTH, STLS and CAPA in authorization state\r\n"
                        : "-ERR Will only accept USER, PASS, AUTH and CAPA in authorization state\r\n";
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
    }, "CPOP3ServerConnection::ReadArgumentFromStream(0x%08x, 0x%08x, 0x%08x)", LabelAddress(&arguments),
       LabelAddress(&argument), LabelAddress(&failure));
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
    }, "CPOP3ServerConnection::ReadTwoArgumentsFromStream(0x%08x, 0x%08x, 0x%08x, 0x%08x)", LabelAddress(&arguments),
       LabelAddress(&first), LabelAddress(&second), LabelAddress(&failure));
}

bool CPOP3ServerConnection::CImpl::NoArgument(const CWords& arguments, std::string& failure) {
    if (arguments.empty())
        return true;
    failure = "-ERR Argument is unexpected\r\n";
    return false;
}

const CPOP3Mailbox::CMessage* CPOP3ServerConnection::CImpl::AccessMessage(const std::string& numberText) {
    return Traced([&] { return mailbox->Access(numberText); }, "CPOP3ServerConnection::AccessMessage('%s')",
                  numberText.c_str());
}

const CPOP3Mailbox::CMessage* CPOP3ServerConnection::CImpl::ReadMessage(const std::string& numberText,
                                                                        uint32_t& number, std::string& failure) {
    if (!Matches(numberText, MessageNumberPattern())) {
        failure = "-ERR Malformed message ID\r\n";
        return nullptr;
    }
    const CPOP3Mailbox::CMessage* message = AccessMessage(numberText);
    if (message == nullptr || message->deleted) {
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
    // Refused before the name is taken, so that PASS cannot follow either.
    if (!AcceptsLogin())
        return OffersSTLS() ? "-ERR USER and PASS are only accepted over TLS, use STLS first\r\n"
                            : "-ERR USER and PASS are only accepted over TLS\r\n";
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
    // The rest of the line is the password, spaces and all.
    if (arguments.empty()) {
        user.clear();
        return "-ERR Argument required\r\n";
    }
    if (!PasswordProblem(lineArgument).empty()) {
        user.clear();
        return "-ERR Malformed password\r\n";
    }
    password = lineArgument;
    return StartLogin();
}

std::string CPOP3ServerConnection::CImpl::Auth(const CWords& arguments) {
    user.clear();
    password.clear();
    if (!AcceptsLogin())
        return OffersSTLS() ? "-ERR Authentication is only accepted over TLS, use STLS first\r\n"
                            : "-ERR Authentication is only accepted over TLS\r\n";
    if (arguments.empty())
        return "+OK Supported mechanisms follow\r\nPLAIN\r\n.\r\n";
    if (ToUpper(arguments[0]) != "PLAIN")
        return "-ERR Unsupported authentication mechanism\r\n";
    if (arguments.size() > 2)
        return "-ERR At most two arguments required\r\n";
    if (arguments.size() == 2)
        return SASLPlain(arguments[1]);
    saslPending = true;
    return "+ \r\n";
}

std::string CPOP3ServerConnection::CImpl::SASLPlain(const std::string& response) {
    if (response == "*")
        return "-ERR Authentication cancelled\r\n";
    // "=" is an empty response; a decoding that gives nothing is as malformed.
    const std::string decoded = DecodeBASE64(response);
    const size_t first = decoded.find('\0');
    const size_t second = first == std::string::npos ? first : decoded.find('\0', first + 1);
    if (second == std::string::npos)
        return "-ERR Malformed authentication data\r\n";
    const std::string authzid = decoded.substr(0, first);
    const std::string authcid = decoded.substr(first + 1, second - first - 1);
    const std::string secret = decoded.substr(second + 1);
    boost::smatch match;
    if (!boost::regex_match(authcid, match, UserMailboxPattern()))
        return "-ERR Malformed username\r\n";
    if (!PasswordProblem(secret).empty())
        return "-ERR Malformed password\r\n";
    if (!authzid.empty() && authzid != authcid && authzid != match.str(1))
        return "-ERR [AUTH] Authorization identity must be empty or the user\r\n";
    user = match[1];
    mailboxName = match[2].matched ? std::string(match[2]) : std::string(kDefaultMailbox);
    password = secret;
    return StartLogin();
}
std::string CPOP3ServerConnection::CImpl::Stls(const CWords& arguments) {
    if (!tls)
        return RefuseInAuthorization();
    if (connection->IsSecure())
        return "-ERR Command not permitted when TLS active\r\n";
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    // What was said in plain text does not carry over into the secured session.
    user.clear();
    password.clear();
    startTLS = true;
    return "+OK Begin TLS negotiation\r\n";
}

std::string CPOP3ServerConnection::CImpl::Capa(const CWords& arguments) {
    std::string failure;
    if (!NoArgument(arguments, failure))
        return failure;
    std::string text = "+OK Capability list follows\r\n";
    if (AcceptsLogin())
        text += "USER\r\nSASL PLAIN\r\n";
    text += "TOP\r\nUIDL\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\nPIPELINING\r\n";
    if (OffersSTLS())
        text += "STLS\r\n";
    return text + "IMPLEMENTATION " + Config().GetValue("product-name") + " " + Config().GetValue("version") +
           "\r\n.\r\n";
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
            const CPOP3Mailbox::CMessage& message = mailbox->GetMessage(number);
            if (!message.deleted)
                text += Format("%u %" PRIu64 "\r\n", number, message.size);
        }
        return text + ".\r\n";
    }
    std::string argument, failure;
    uint32_t number;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    const CPOP3Mailbox::CMessage* message = ReadMessage(argument, number, failure);
    if (message == nullptr)
        return failure;
    return Format("+OK %s %" PRIu64 "\r\n", argument.c_str(), message->size);
}

std::string CPOP3ServerConnection::CImpl::Uidl(const CWords& arguments) {
    if (arguments.empty()) {
        std::string text = "+OK Unique-id listing follows\r\n";
        for (uint32_t number = 1; number <= mailbox->GetSize(); ++number) {
            const CPOP3Mailbox::CMessage& message = mailbox->GetMessage(number);
            if (!message.deleted)
                text += Format("%u %s\r\n", number, CPOP3Mailbox::UniqueId(message.file.name).c_str());
        }
        return text + ".\r\n";
    }
    std::string argument, failure;
    uint32_t number;
    if (!ReadArgumentFromStream(arguments, argument, failure))
        return failure;
    const CPOP3Mailbox::CMessage* message = ReadMessage(argument, number, failure);
    if (message == nullptr)
        return failure;
    return Format("+OK %s %s\r\n", argument.c_str(), CPOP3Mailbox::UniqueId(message->file.name).c_str());
}

std::string CPOP3ServerConnection::CImpl::Top(const CWords& arguments) {
    std::string numberText, countText, failure;
    if (!ReadTwoArgumentsFromStream(arguments, numberText, countText, failure))
        return failure;
    uint32_t number;
    const CPOP3Mailbox::CMessage* message = ReadMessage(numberText, number, failure);
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
    const CPOP3Mailbox::CMessage* message = ReadMessage(argument, number, failure);
    if (message == nullptr)
        return failure;
    StartResponseFile(*message, CPOP3MessageStream::kWholeMessage);
    return Format("+OK %" PRIu64 " octet(s)\r\n", message->size);
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

}  // namespace Ovrin
