// CPOP3ServerConnection::CImpl: a POP3 server session's state, shared by its step machine, login
// and streaming (pop3_server_session.cpp) and its command handlers (pop3_server_commands.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/connected_socket.h"
#include "common/file.h"
#include "common/internet_address.h"
#include "common/tls_context.h"
#include "server/pop3/pop3_mailbox.h"
#include "server/pop3/pop3_message_stream.h"
#include "server/pop3/pop3_security.h"
#include "server/pop3/pop3_server_session.h"

namespace Ovrin {

class CPOP3ServerConnection::CImpl {
public:
    enum TState { stateAuthorization = 0, stateTransaction = 1, stateUpdate = 2 };
    enum TPhase { phaseReceiving = 0, phaseSending = 1 };
    using CWords = std::vector<std::string>;
    static constexpr uint32_t kChunkSize = 65536;

    CImpl(std::shared_ptr<CConnectedSocket> connection, const CInternetAddress& peerAddress, CTLSContextPtr tls)
        : connection(std::move(connection)), peer(peerAddress.GetName()), peerAddress(peerAddress),
          tls(std::move(tls)), plaintextAuth(POP3PlaintextAuth()) {}

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
    // The answer to a command that the authorization state does not take; forgets the login.
    std::string RefuseInAuthorization();

    // The shared argument readers: false with the reply set when the arguments do not fit.
    bool ReadArgumentFromStream(const CWords& arguments, std::string& argument, std::string& failure);
    bool ReadTwoArgumentsFromStream(const CWords& arguments, std::string& first, std::string& second,
                                    std::string& failure);
    static bool NoArgument(const CWords& arguments, std::string& failure);
    // The message of a number argument, not marked deleted; null with the reply set otherwise.
    const CFileInfo* ReadMessage(const std::string& numberText, uint32_t& number, std::string& failure);
    const CFileInfo* AccessMessage(const std::string& numberText);

    // STLS is offered while the connection is plain and the server has a certificate.
    bool OffersSTLS() const { return tls && !connection->IsSecure() && state == stateAuthorization; }
    bool AcceptsLogin() const { return AcceptsPlaintextAuth(plaintextAuth, connection->IsSecure(), peerAddress); }

    bool AuthenticateLockMailBox(std::string& answer);
    void StartResponseFile(const CFileInfo& message, uint32_t lineLimit);
    void ProcessServerResponseFile();

    std::string User(const CWords& arguments);
    std::string Pass(const CWords& arguments);
    std::string Stls(const CWords& arguments);
    std::string Capa(const CWords& arguments);
    std::string Stat(const CWords& arguments);
    std::string List(const CWords& arguments);
    std::string Uidl(const CWords& arguments);
    std::string Top(const CWords& arguments);
    std::string Retr(const CWords& arguments);
    std::string Dele(const CWords& arguments);
    std::string Rset(const CWords& arguments);
    std::string Last(const CWords& arguments);
    std::string Noop(const CWords& arguments);

public:
    std::shared_ptr<CConnectedSocket> connection;
    const std::string peer;
    const CInternetAddress peerAddress;
    const CTLSContextPtr tls;  // null: no STLS
    const TPlaintextAuth plaintextAuth;
    TState state = stateAuthorization;
    TPhase phase = phaseSending;
    bool startTLS = false;  // once the reply to STLS has gone out
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

}  // namespace Ovrin
