// The POP3 server session: the step machine of Process, the login with the mailbox lock, and
// the streaming of a message file; the commands are in pop3_server_commands.cpp.
#include "server/pop3/pop3_server_session.h"

#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/pop3/authentication.h"
#include "server/pop3/login_penalty.h"
#include "server/pop3/pop3_server_session_impl.h"
#include "server/pop3/user_pool.h"

namespace Ovrin {

// ---- steps

bool CPOP3ServerConnection::CImpl::Process(bool& yield) {
    // A login's waits hold the whole session, never the worker: other sessions step meanwhile.
    if (CClock::now() < holdUntil || (loggingIn && !StepLogin())) {
        yield = true;
        return true;
    }
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
        if (startTLS) {
            startTLS = false;
            connection->StartTLS(tls, "");
        }
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
    if (Waiting())
        return CSocketWait{};  // on time alone
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
    mailbox.reset();  // closing the lock file deletes it; deletions were made at QUIT
    connection.reset();
}

std::string CPOP3ServerConnection::CImpl::StartLogin() {
    const CClock::time_point now = CClock::now();
    holdUntil = now + std::chrono::milliseconds(
                          LoginPenalties().Penalty(peerAddress.GetAddress(), failureDelay, now));
    userDeadline = holdUntil + kUserWait;
    loggingIn = true;
    return std::string();  // StepLogin answers
}

bool CPOP3ServerConnection::CImpl::StepLogin() {
    std::string answer;
    bool accepted = false;
    try {
        // An unknown name is refused like a wrong password, without an ERROR for its missing file.
        if (CFile::EnumerateFiles(UserDirectory(user), kUserFile)->empty())
            throw CMessageException("User %s is unknown", user.c_str());
        CUserXMLPtr document = UserPool().GetObject(user, 0);
        if (!document) {
            if (CClock::now() < userDeadline)
                return false;
            // Locked by an editor, or its reload waits for a collection that still holds it.
            Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s from %s is locked, login "
                             "refused",
                             user.c_str(), peer.c_str());
            answer = "-ERR [IN-USE] The user is busy, try again later\r\n";
        } else {
            accepted = AuthenticateLockMailBox(document, answer);
        }
    } catch (const std::exception&) {
        // No user.xml or one that cannot be read: as a wrong password.
        Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox('%s'): failed to access user configuration "
                         "file, ignoring error and returning auth failure to %s",
                         user.c_str(), peer.c_str());
        Failed(answer);
    }
    loggingIn = false;
    if (accepted) {
        state = stateTransaction;
    } else {
        user.clear();
        password.clear();
    }
    Queue(answer);
    return true;
}

void CPOP3ServerConnection::CImpl::Failed(std::string& answer) {
    const CClock::time_point now = CClock::now();
    LoginPenalties().Failed(peerAddress.GetAddress(), now);
    holdUntil = now + std::chrono::milliseconds(failureDelay);
    answer = "-ERR [AUTH] Authentication failed\r\n";
    if (++failures >= kMaxFailures) {
        Logger().Warning("CPOP3ServerConnection: %u failed logins from %s, closing the connection", failures,
                         peer.c_str());
        state = stateUpdate;  // the answer goes out, then the session ends
    }
}

bool CPOP3ServerConnection::CImpl::AuthenticateLockMailBox(const CUserXMLPtr& document, std::string& answer) {
    return Traced([&] {
        CXPathContext context(*document);
        CAuthenticationPtr authentication =
            CAuthentication::Create(context.Eval("/user/pop3-server/authentication")->GetNodePtr());
        if (!authentication->Authenticate(user, password)) {
            Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed for user %s "
                             "from %s",
                             user.c_str(), peer.c_str());
            Failed(answer);
            return false;
        }
        const std::string directory = UserPath(user, mailboxName);
        try {
            mailbox.emplace(directory);
        } catch (const std::exception&) {
            Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s authenticated from %s but "
                             "the mailbox was busy",
                             user.c_str(), peer.c_str());
            answer = "-ERR [IN-USE] Unable to lock mailbox\r\n";
            return false;
        }
        try {
            mailbox->TakeSnapshot();
        } catch (const std::exception&) {
            mailbox.reset();
            Logger().Warning("CPOP3ServerConnection::AuthenticateLockMailBox(): user %s authenticated from %s but "
                             "the mailbox could not be read",
                             user.c_str(), peer.c_str());
            answer = "-ERR [SYS/TEMP] Unable to read mailbox\r\n";
            return false;
        }
        Logger().Info("CPOP3ServerConnection::ProcessClientRequestAuthState: user %s logged in from %s", user.c_str(),
                      peer.c_str());
        answer = "+OK Mailbox ready\r\n";
        return true;
    }, "CPOP3ServerConnection::AuthenticateLockMailBox(0x%08x)", LabelAddress(&answer));
}

// Opens the message for streaming after the reply's first line.
void CPOP3ServerConnection::CImpl::StartResponseFile(const CPOP3Mailbox::CMessage& message, uint32_t lineLimit) {
    responseFile =
        std::make_shared<CFile>(message.file.path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
    stream.emplace(lineLimit);
    if (!buffer)
        buffer.reset(new char[kChunkSize + 1]);
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

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection, CTLSContextPtr tls)
    // By its address: a name look-up here would hold up the listener and every client behind.
    : CPOP3ServerConnection(connection, connection->GetPeerAddress(false), std::move(tls)) {}

CPOP3ServerConnection::CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection,
                                             const CInternetAddress& peer, CTLSContextPtr tls)
    : CParallelWorkUnit(Format("CPOP3ServerConnection(%s, 0x%08x)", peer.GetDottedAddress().c_str(),
                               LabelAddress(connection.get()))),
      impl(std::make_unique<CImpl>(connection, peer, std::move(tls))) {
    Traced([&] {
        impl->connection->SetMaxLineLength(kMaxCommandLine);
        impl->Queue("+OK " + Config().GetValue("product-name") + " " + Config().GetValue("version") + "\r\n");
    }, "CPOP3ServerConnection::CPOP3ServerConnection(0x%08x)", LabelAddress(connection.get()));
}

CPOP3ServerConnection::~CPOP3ServerConnection() {
    Contained([&] { impl->Close(); }, "CPOP3ServerConnection::~CPOP3ServerConnection()");
}

bool CPOP3ServerConnection::Process(bool& yield) {
    return Traced([&] { return impl->Process(yield); }, "CPOP3ServerConnection::Process(0x%08x)",
                  LabelAddress(this));
}

CSocketWait CPOP3ServerConnection::GetWait() const { return impl->GetWait(); }

}  // namespace Ovrin
