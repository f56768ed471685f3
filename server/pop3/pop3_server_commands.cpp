// The POP3 server session's commands: one handler per command, found through one table per
// state, and the shared readers of arguments and message numbers.
#include <cinttypes>
#include <sstream>

#include "common/format.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/pop3/pop3_server_session_impl.h"

namespace Ovrin {

const CPOP3ServerConnection::CImpl::CCommand CPOP3ServerConnection::CImpl::kAuthorizationCommands[] = {
    {"USER", &CImpl::User}, {"PASS", &CImpl::Pass}, {"STLS", &CImpl::Stls}, {"CAPA", &CImpl::Capa},
    {nullptr, nullptr},
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
    return OffersSTLS() ? "-ERR Will only accept USER, PASS, STLS and CAPA in authorization state\r\n"
                        : "-ERR Will only accept USER, PASS and CAPA in authorization state\r\n";
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
        text += "USER\r\n";
    text += "TOP\r\nUIDL\r\n";
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

std::string CPOP3ServerConnection::CImpl::Uidl(const CWords& arguments) {
    if (arguments.empty()) {
        std::string text = "+OK Unique-id listing follows\r\n";
        for (uint32_t number = 1; number <= mailbox->GetSize(); ++number) {
            const CFileInfo& message = mailbox->GetMessage(number);
            if (!message.flag)
                text += Format("%u %s\r\n", number, CPOP3Mailbox::UniqueId(message.name).c_str());
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
    return Format("+OK %s %s\r\n", argument.c_str(), CPOP3Mailbox::UniqueId(message->name).c_str());
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
