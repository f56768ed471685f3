// CControlChannel on file descriptors with poll, signalfd for the stop signals.
#include "server/program/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "common/log.h"
#include "common/text.h"
#include "common/validators.h"

namespace Ovrin {

namespace {

// Enough of a line for ValidateRegexedLine to see that it is too long, plus a CR.
constexpr size_t kKeptLineBytes = kMaxRegexedLine + 2;

}  // namespace

class CControlChannel::CControlChannelImpl {
public:
    CControlChannelImpl(int input, int output, int signalFd) : input(input), output(output), signalFd(signalFd) {}

    ~CControlChannelImpl() {
        if (output >= 0)
            ::close(output);
        if (signalFd >= 0)
            ::close(signalFd);
    }

    std::optional<std::string> ReadLine() {
        for (;;) {
            while (readPosition < readBuffer.size()) {
                char c = readBuffer[readPosition++];
                if (c == '\n')
                    return TakeLine();
                if (line.size() < kKeptLineBytes)
                    line.push_back(c);
                else
                    truncated = true;
            }
            if (ended)
                return std::nullopt;
            CFill fill = Fill();
            if (fill == CFill::Data)
                continue;
            ended = true;
            if (fill == CFill::EndOfInput && (!line.empty() || truncated))
                return TakeLine();
            return std::nullopt;
        }
    }

    void WriteReply(const std::string& reply) {
        std::string text = ReplaceControlCharacters(reply, true) + "\r\n";
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(output, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                Logger().Warning("CControlChannel::WriteReply('%s'): write() failed, errno=%d", reply.c_str(), errno);
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    std::string endReason = "end of input";

private:
    std::string TakeLine() {
        std::string result;
        result.swap(line);
        if (!truncated && !result.empty() && result.back() == '\r')
            result.pop_back();
        truncated = false;
        return result;
    }

    enum class CFill { Data, EndOfInput, Stopped };

    // Waits for more input, or for a stop signal.
    CFill Fill() {
        for (;;) {
            pollfd watched[2] = {{input, POLLIN, 0}, {signalFd, POLLIN, 0}};
            int count = signalFd >= 0 ? 2 : 1;
            if (::poll(watched, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Logger().Warning("CControlChannel::ReadLine(): poll() failed, errno=%d", errno);
                return CFill::EndOfInput;
            }
            if (count == 2 && (watched[1].revents & POLLIN)) {
                signalfd_siginfo info{};
                endReason = "a stop signal";
                if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                    endReason = info.ssi_signo == SIGINT ? "SIGINT" : info.ssi_signo == SIGTERM ? "SIGTERM" : endReason;
                return CFill::Stopped;
            }
            if (watched[0].revents & POLLNVAL)
                return CFill::EndOfInput;
            if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char chunk[4096];
            ssize_t n = ::read(input, chunk, sizeof chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0)
                Logger().Warning("CControlChannel::ReadLine(): read() failed, errno=%d", errno);
            if (n <= 0)
                return CFill::EndOfInput;
            readBuffer.assign(chunk, static_cast<size_t>(n));
            readPosition = 0;
            return CFill::Data;
        }
    }

    int input;
    int output;
    int signalFd;
    std::string readBuffer;
    size_t readPosition = 0;
    std::string line;
    bool truncated = false;
    bool ended = false;
};

CControlChannel::CControlChannel(int input, int output, int signalFd)
    : impl(std::make_unique<CControlChannelImpl>(input, output, signalFd)) {}

CControlChannel::~CControlChannel() = default;

std::unique_ptr<CControlChannel> CControlChannel::ForStandardStreams() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        Logger().Warning("CControlChannel::ForStandardStreams(): signalfd() failed, errno=%d, "
                         "SIGINT and SIGTERM end the server without its shutdown", errno);
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    }
    // A reader that went away must show as a failed write, not kill the server.
    ::signal(SIGPIPE, SIG_IGN);
    int output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output >= 0)
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return std::make_unique<CControlChannel>(STDIN_FILENO, output, signalFd);
}

std::optional<std::string> CControlChannel::ReadLine() { return impl->ReadLine(); }

std::string CControlChannel::EndReason() const { return impl->endReason; }

void CControlChannel::WriteReply(const std::string& reply) { impl->WriteReply(reply); }

}  // namespace Ovrin
