// The POP3 client session: one step at a time through the command queue, the message path's
// commands sent ahead where the server allows it; replies are checked in one place, messages
// are streamed into files in .raw, headers kept in memory, and each command's callback moves
// the collection on.
#include "server/pop3/pop3_client_session.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/exception.h"
#include "common/format.h"
#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/log.h"
#include "common/text.h"
#include "common/tls_transport.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"
#include "server/core/mail_store.h"
#include "server/core/worker_pools.h"
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

CPOP3ClientConnection::CPOP3ClientConnection(const std::string& hostname, const std::string& port,
                                             const std::string& username, const std::string& password,
                                             const std::string& security, const std::string& user,
                                             std::shared_ptr<CXMLDocument> userConfiguration)
    : CParallelWorkUnit(Format("CPOP3ClientConnection(%s, %s@%s:%s)", user.c_str(), username.c_str(),
                               hostname.c_str(), port.c_str())),
      hostname(hostname), port(port), username(username), password(password), user(user),
      userConfiguration(std::move(userConfiguration)) {
    // The trace shows the password masked: it would otherwise end up in the log.
    Traced([&] {
        // At least 1: the grouping of a collection divides by it.
        messagesPerSync = Settings().pop3MessagesPerSync.Get();
        messagesPerSession = Settings().pop3MessagesPerSession.Get();
        rawDirectory = UserPath(user, kRawDirectory);
        const CInternetPort remotePort(port, CInternetPort::TCP);
        this->security = ParsePOP3Security(security, remotePort);
        if (this->security != TPOP3Security::None)
            tls = POP3ClientTLSContext();
        factory = std::make_shared<CClientSocketFactory>(CInternetAddress(), CInternetPort(),
                                                         CInternetAddress(hostname), remotePort);
        connectDeadline = std::time(nullptr) + Settings().pop3ConnectionAttemptTimeoutSec.Get();
        buffer = std::make_unique<char[]>(kBufferSize);
        if (this->security == TPOP3Security::StartTLS)
            Queue(0, "STLS\r\n", &CPOP3ClientConnection::StlsCallback);
        Queue(0, "USER " + username + "\r\n", nullptr);
        Queue(0, "PASS " + password + "\r\n", nullptr);
        Queue(0, "CAPA\r\n", &CPOP3ClientConnection::CapaCallback, CData::Lines, kOptional);
        Queue(0, "STAT\r\n", &CPOP3ClientConnection::StatCallback);
    }, "CPOP3ClientConnection::CPOP3ClientConnection('%s', '%s', '%s', '%s', '%s', 0x%08x)", hostname.c_str(),
       port.c_str(), username.c_str(), Masked(password).c_str(), user.c_str(),
       LabelAddress(this->userConfiguration.get()));
}

CPOP3ClientConnection::~CPOP3ClientConnection() = default;

void CPOP3ClientConnection::Queue(uint32_t number, std::string text, CCallback callback, CData data,
                                  unsigned flags) {
    commands.push_back(CCommand{number, std::move(text), data, callback, (flags & kPipelined) != 0,
                                (flags & kOptional) != 0});
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
    bufferUsed = 0;
}

CPOP3ClientMessagePtr& CPOP3ClientConnection::Message(uint32_t number) {
    if (number == 0 || number > messages.size())
        throw CMessageException("Message number %u is out of range 1..%u", number,
                                static_cast<unsigned>(messages.size()));
    return messages[number - 1];
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
    if (awaited) {
        CSocketWait wait;
        wait.descriptor = awaited->HeaderEventDescriptor();
        wait.directions = CSocketWait::kRead;
        return wait;
    }
    if (connection)
        return connection->GetWait();
    if (factory)
        return factory->GetWait();
    return CSocketWait{};
}

bool CPOP3ClientConnection::Step(bool& waiting) {
    if (factory) {
        std::shared_ptr<CConnectedSocket> connected;
        if (!factory->Connect(connected)) {
            waiting = true;
            return std::time(nullptr) < connectDeadline;
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
            if (line.compare(0, 3, "+OK") != 0) {
                if (!current.optional || line.compare(0, 4, "-ERR") != 0)
                    ThrowReply(ValidateRegexedLine(line));
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
    if (current.text == "QUIT\r\n" && handedFiles) {
        // The remote deletes at QUIT: every file handed over must survive a crash first. A crash
        // before this point gives duplicates at the next collection, never a loss. QUIT waits
        // for every answer before it, so every download is in.
        CFile::SyncFileSystem(rawDirectory);
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
    return command.text;
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
        if (connection->Recv(nullptr, 0, CConnectedSocket::xferLINE, &line) == 0) {
            waiting = true;
            return;
        }
        if (!line.empty() && line[0] == '.') {
            line.erase(0, 1);
            if (line.empty())
                break;  // the terminator
        }
        if (line.size() > kMaxDataLine)
            line.resize(kMaxDataLine);
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

bool CPOP3ClientConnection::CapaCallback(uint32_t number, const std::string& text,
                                         const std::shared_ptr<CFile>& data) {
    return Traced([&] {
        // One capability a line, its name first.
        std::istringstream lines(std::string(buffer.get(), bufferUsed));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string name;
            words >> name;
            if (ToUpper(name) == "PIPELINING")
                pipelining = true;
        }
        return true;
    }, "CPOP3ClientConnection::CapaCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
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
        const unsigned long limit = messagesPerSession > 0 ? static_cast<unsigned long>(messagesPerSession) : 0;
        const uint32_t n = static_cast<uint32_t>(remote < limit ? remote : limit);
        messages.resize(n);
        const uint32_t sync = static_cast<uint32_t>(messagesPerSync);
        for (uint32_t i = 1; i <= n; ++i) {
            messages[i - 1] = std::make_shared<CPOP3ClientMessage>(user, userConfiguration);
            Queue(i, Format("LIST %u\r\n", i), &CPOP3ClientConnection::ListCallback, CData::None, kPipelined);
            Queue(i, Format("TOP %u 0\r\n", i), &CPOP3ClientConnection::TopCallback, CData::Header, kPipelined);
            if (i % sync == 0)
                Queue(i, "NOOP\r\n", &CPOP3ClientConnection::NoopCallback);
        }
        if (n % sync != 0)
            Queue(n, "NOOP\r\n", &CPOP3ClientConnection::NoopCallback);
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
        if (!valid)
            throw CMessageException("POP3 server at %s:%s for user %s when asked '%s' replied with '+OK %s %s ...', "
                                    "terminating connection abnormally",
                                    hostname.c_str(), port.c_str(), username.c_str(), current.text.c_str(),
                                    words[0].c_str(), words[1].c_str());
        Message(number)->SetMessageSize(static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 10)));
        return true;
    }, "CPOP3ClientConnection::ListCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
}

bool CPOP3ClientConnection::TopCallback(uint32_t number, const std::string& text,
                                        const std::shared_ptr<CFile>& data) {
    return Traced([&] {
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
        const uint32_t sync = static_cast<uint32_t>(messagesPerSync);
        const uint32_t first = ((number - 1) / sync) * sync + 1;
        for (uint32_t j = first; j <= number; ++j)
            if (!Message(j)->HeaderProcessed()) {
                awaited = Message(j);
                return false;
            }
        awaited.reset();
        // Pushed to the front from the last message back, so that they run in ascending order.
        for (uint32_t j = number; j >= first; --j) {
            commands.push_front(CCommand{j, Format("DELE %u\r\n", j), CData::None, &CPOP3ClientConnection::DeleCallback, true, false});
            if (Message(j)->GetResult() != kDeleteMailbox)
                commands.push_front(
                    CCommand{j, Format("RETR %u\r\n", j), CData::File, &CPOP3ClientConnection::RetrCallback, true, false});
        }
        return true;
    }, "CPOP3ClientConnection::NoopCallback(%u, 0x%08x, 0x%08x)", number, LabelAddress(&text),
       LabelAddress(data.get()));
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
