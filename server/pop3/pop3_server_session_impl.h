// CPOP3ServerConnection::CImpl: a POP3 server session's state, shared by its step machine, login
// and streaming (pop3_server_session.cpp) and its command handlers (pop3_server_commands.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/connected_socket.h"
#include "common/file.h"
#include "common/internet_address.h"
#include "common/tls_context.h"
#include "server/core/config.h"
#include "server/pop3/pop3_mailbox.h"
#include "server/pop3/pop3_message_stream.h"
#include "server/pop3/pop3_security.h"
#include "server/pop3/pop3_server_session.h"
#include "server/pop3/user_xml.h"

namespace Ovrin {

class CPOP3ServerConnection::CImpl {
public:
    enum TState { stateAuthorization = 0, stateTransaction = 1, stateUpdate = 2 };
    enum TPhase { phaseReceiving = 0, phaseSending = 1 };
    using CWords = std::vector<std::string>;
    static constexpr uint32_t kChunkSize = 65536;

    using CClock = std::chrono::steady_clock;
    // Failed logins a connection may make before it is closed.
    static constexpr unsigned kMaxFailures = 3;
    // How long a login waits for a user whom an editor holds before it is refused as in use.
    static constexpr std::chrono::seconds kUserWait{5};

    CImpl(std::shared_ptr<CConnectedSocket> connection, const CInternetAddress& peerAddress, CTLSContextPtr tls)
        : connection(std::move(connection)), peer(peerAddress.GetDottedAddress()), peerAddress(peerAddress),
          tls(std::move(tls)), plaintextAuth(POP3PlaintextAuth()), failureDelay(static_cast<uint32_t>(Settings().pop3AuthFailureDelayMs.Get())) {}

    bool Process(bool& yield);
    CSocketWait GetWait() const;
    void Close();

    void Queue(const std::string& text) { reply += text; }

private:
    using CHandler = std::string (CImpl::*)(const CWords&);
    // What a login waits for between its steps: a time (penalty, failure delay) or the user.
    bool Waiting() const { return CClock::now() < holdUntil || loggingIn; }
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
    const CPOP3Mailbox::CMessage* ReadMessage(const std::string& numberText, uint32_t& number, std::string& failure);
    const CPOP3Mailbox::CMessage* AccessMessage(const std::string& numberText);

    // STLS is offered while the connection is plain and the server has a certificate.
    bool OffersSTLS() const { return tls && !connection->IsSecure() && state == stateAuthorization; }
    bool AcceptsLogin() const { return AcceptsPlaintextAuth(plaintextAuth, connection->IsSecure(), peerAddress); }

    // A login with the user, mailbox name and password set: checked once the address's penalty
    // has passed, answered by StepLogin.
    std::string StartLogin();
    // One try of the pending login; false while the user is held by an editor and the wait for
    // it has not run out. A failure's answer is held back by the failure delay.
    bool StepLogin();
    bool AuthenticateLockMailBox(const CUserXMLPtr& document, std::string& answer);
    void Failed(std::string& answer);
    // AUTH PLAIN's response, "authzid NUL authcid NUL password" in Base64.
    std::string SASLPlain(const std::string& response);
    std::string Quit();
    void StartResponseFile(const CPOP3Mailbox::CMessage& message, uint32_t lineLimit);
    void ProcessServerResponseFile();

    std::string User(const CWords& arguments);
    std::string Pass(const CWords& arguments);
    std::string Auth(const CWords& arguments);
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
    const uint32_t failureDelay;  // milliseconds
    TState state = stateAuthorization;
    TPhase phase = phaseSending;
    bool startTLS = false;  // once the reply to STLS has gone out
    std::string user;
    std::string password;
    std::string mailboxName;
    std::string lineArgument;  // the command line after the command and one space (PASS)
    bool saslPending = false;  // "+ " sent: the next line is AUTH PLAIN's response
    bool loggingIn = false;
    CClock::time_point userDeadline;
    CClock::time_point holdUntil;  // nothing is sent or read before
    unsigned failures = 0;
    std::optional<CPOP3Mailbox> mailbox;  // the lock and the snapshot, from a successful login
    std::shared_ptr<CFile> responseFile;
    std::optional<CPOP3MessageStream> stream;
    std::unique_ptr<char[]> buffer;  // while streaming only
    std::string reply;               // queued, handed to the connection a chunk at a time
    size_t replySent = 0;
    std::string chunk;
};

}  // namespace Ovrin
