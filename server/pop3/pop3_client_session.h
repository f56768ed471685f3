// CPOP3ClientConnection: collects one remote POP3 account of a local user. A queue of commands,
// each answered by a callback; headers first, then per group of messages a NOOP that waits for
// their header passes, then RETR, then DELE; QUIT makes the deletions happen. The unique ids of
// stored messages are recorded, so that none is stored twice and mail may stay on the server.
// Over TLS from the start or after STLS when the account asks for it, and then no login before
// TLS is up. The login is USER and PASS or one SASL exchange (CPOP3SASL), for OAuth after a
// fresh access token.
#pragma once

#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/connected_socket.h"
#include "common/file.h"
#include "common/name_lookup.h"
#include "common/oauth_client.h"
#include "common/socket_factory.h"
#include "common/socket_wait.h"
#include "common/tls_context.h"
#include "common/xml_document.h"
#include "server/core/work_unit.h"
#include "store/collected_record.h"
#include "server/pop3/pop3_client_message.h"
#include "server/pop3/oauth_tokens.h"
#include "server/pop3/pop3_sasl.h"
#include "server/pop3/pop3_security.h"

namespace Ovrin {

// One pop3-client entry of a user's user.xml.
struct CPOP3Account {
    std::string hostname;
    std::string port;
    std::string username;
    std::string password;  // decoded
    std::string security;
    // Collected messages stay on the server: for good with leaveDays 0, else that many days
    // after they were first collected.
    bool leaveOnServer = false;
    uint32_t leaveDays = 0;
    // USER and PASS, or a SASL mechanism with the OAuth client's details.
    CPOP3Login login;
};

class CPOP3ClientConnection : public CParallelWorkUnit {
public:
    static constexpr uint32_t kBufferSize = 65536;
    // A longer data line is taken in pieces of this size, so that each still fits the buffer
    // with a CR LF.
    static constexpr uint32_t kMaxDataLine = kBufferSize - 2;

    // Resolves the port now and starts resolving the host apart: an unknown port makes the
    // construction fail, as does a security other than "none", "tls", "starttls" or empty
    // (ParsePOP3Security); a host that does not resolve ends the session in its first steps.
    CPOP3ClientConnection(const CPOP3Account& account, const std::string& user,
                          std::shared_ptr<CXMLDocument> userConfiguration);
    ~CPOP3ClientConnection() override;

    bool Process(bool& yield) override;
    // What the session waits for when a step ends without progress: its connection, the
    // connect under way, or the end of the header pass it waits for.
    CSocketWait GetWait() const override;

private:
    using CCallback = bool (CPOP3ClientConnection::*)(uint32_t number, const std::string& text,
                                                      const std::shared_ptr<CFile>& data);
    // Where a command's multi-line answer goes: a message into a file in .raw, a header (at
    // most a buffer's worth, as message processing takes no more) into memory, both after the
    // "Received:" line; other lines into memory as they are.
    enum class CData { None, File, Header, Lines };
    struct CCommand {
        uint32_t number = 0;
        // Empty for a step of the session's own, which runs once every answer before it is in.
        std::string text;
        CData data = CData::None;
        CCallback callback = nullptr;
        // May go out while earlier ones still wait for their answers, where the server can
        // take that: the commands of the message path, whose answers change no plan.
        bool pipelined = false;
        // A "-ERR" answer is no failure: the command asks what the server can do.
        bool optional = false;
        // A "-ERR" answer leaves this message on the server; the others go on.
        bool perMessage = false;
    };
    // Commands sent ahead while the current one waits for its answer, at most this many.
    static constexpr size_t kPipelineDepth = 32;

    // One step; sets waiting when it ended for want of the network.
    bool Step(bool& waiting);
    // Before anything is sent: the account's login checked against its security, and the
    // dialogue queued, or for OAuth the access token asked for first. False once the session
    // ended, in one line.
    bool PrepareLogin();
    // One step of the token endpoint's answer; the dialogue is queued once the token is in.
    bool AwaitToken(bool& waiting);
    void QueueDialogue(const std::string& secret);
    // Before the connection is made: true while its time lasts, else false after one ERROR line
    // that says what was still missing.
    bool WithinConnectTime(const char* missing) const;
    COAuthTokens::CAccount TokenAccount() const;
    void LogNoToken(const char* reason) const;
    // One step of the TLS handshake: false once it failed, logged in one line that says why.
    bool Handshake(bool& waiting);
    void StartTLS();
    void ReceiveData(bool& waiting);
    void BeginData();
    void CreateDataFile();
    std::string ReceivedLine();
    void WriteBuffer();
    // The command as it may be shown: a PASS with its password replaced by asterisks.
    std::string ShownCommand(const CCommand& command) const;
    [[noreturn]] void ThrowReply(const std::string& shown) const;

    bool StlsCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool SaslCapaCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool CapaCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool UidlCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool StatCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool ListCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool TopCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool NoopCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool RetrCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    bool DeleCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);
    // Not a command: runs once every download of group `number` is answered.
    bool StoredCallback(uint32_t number, const std::string& text, const std::shared_ptr<CFile>& data);

    static constexpr unsigned kPipelined = 1;
    static constexpr unsigned kOptional = 2;
    static constexpr unsigned kPerMessage = 4;
    void Queue(uint32_t number, std::string text, CCallback callback, CData data = CData::None, unsigned flags = 0);
    // Sends the queued commands that may follow the current one before its answer.
    void SendAhead();
    // The current command's answer is handled: the next one sent is current, or none.
    void FinishReply();
    CPOP3ClientMessagePtr& Message(uint32_t number);
    // The server cannot give this message: it stays there, named in one WARNING.
    void LeaveBadMessage(uint32_t number, const std::string& why);
    // The unique id of a message, empty when unknown.
    std::string Uid(uint32_t number) const;
    // Whether a message collected at that time is to be deleted on the server now.
    bool DueForDeletion(std::time_t collected, std::time_t now) const;

    int phase = 1;
    std::shared_ptr<CConnectedSocket> connection;
    int32_t messagesPerSync;
    int32_t messagesPerSession;
    std::string hostname;
    std::string port;
    std::string username;
    std::string password;
    bool leaveOnServer;
    uint32_t leaveDays;
    TPOP3Security security;
    CPOP3Login login;
    std::unique_ptr<CPOP3SASL> sasl;  // none for USER and PASS
    std::unique_ptr<COAuthRequest> tokenRequest;  // under way before the connection
    bool prepared = false;
    // The server does not offer the mechanism: the session ends before any secret goes out.
    bool abandoned = false;
    CTLSContextPtr tls;  // none without TLS
    // The handshake is under way: no command goes out until it is done.
    bool securing = false;
    std::string user;
    std::string rawDirectory;
    std::shared_ptr<CXMLDocument> userConfiguration;
    // The host name being resolved apart, then the connect under way; both count against the
    // connection's time limit.
    std::unique_ptr<CNameLookup> lookup;
    std::unique_ptr<CInternetPort> remotePort;
    std::shared_ptr<CClientSocketFactory> factory;
    std::time_t connectDeadline;
    std::deque<CCommand> commands;
    CCommand current;
    // Sent after the current command, in order, their answers still to come.
    std::deque<CCommand> ahead;
    // The server said PIPELINING in its answer to CAPA.
    bool pipelining = false;
    std::string reply;
    // The current command got "-ERR" and may: no data, no callback.
    bool refused = false;
    bool dataBegun = false;
    bool dataComplete = false;
    // An answer kept in memory outgrew the buffer: a header is then taken as none at all.
    bool dataOverflow = false;
    // The last piece received ended inside a line.
    bool midLine = false;
    std::shared_ptr<CFile> file;
    std::unique_ptr<char[]> buffer;
    uint32_t bufferUsed = 0;
    // The answer's lines, for commands whose data is lines (CAPA, UIDL).
    std::vector<std::string> lines;
    // By message number, empty for those not collected in this session.
    std::vector<CPOP3ClientMessagePtr> messages;
    // The messages of each group, in order; a NOOP and a stored step each name theirs.
    std::vector<std::vector<uint32_t>> groups;
    // Messages the server could not give.
    std::vector<bool> bad;
    // By message number, from UIDL; none when the server does not answer it.
    std::vector<std::string> uids;
    bool haveUids = false;
    std::unique_ptr<CCollectedRecord> record;
    // The message whose header pass the session waits for at a NOOP, if any.
    CPOP3ClientMessagePtr awaited;
    // Files were handed to message processing since the last sync.
    bool handedFiles = false;
    // The remote server's address, known once connected.
    std::string peerName;
    std::string peerAddress;
};

}  // namespace Ovrin
