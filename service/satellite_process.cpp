// CSatelliteProcess with posix_spawn. The child gets a clean signal state and a process group
// of its own, so that a Ctrl-C at the terminal reaches only the service, which then stops the
// child in order.
#include "service/satellite_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "common/exception.h"
#include "common/lock.h"
#include "common/log.h"
#include "common/trace.h"
#include "service/io_pipe.h"

extern char** environ;

namespace Ovrin {

namespace {

// Starting children is serialised process-wide, as each start sets up descriptors for it.
CLock& CreationLock() {
    static CLock lock;
    return lock;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::istringstream in(commandLine);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool IsExecutableHere(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(name.c_str(), X_OK) == 0;
}

}  // namespace

class CSatelliteProcess::CSatelliteProcessImpl {
public:
    CSatelliteProcessImpl(int input, int output, int error, pid_t process)
        : input(input), output(output), error(error), process(process) {}

    ~CSatelliteProcessImpl() {
        for (int fd : {input, output, error})
            if (fd >= 0)
                ::close(fd);
    }

    void Write(const void* data, uint32_t length) {
        Traced([&] {
            if (length > kMaxWrite)
                throw CMessageException("Length of data to write exceeds max. pipe buffer size (%u > %u)", length,
                                        kMaxWrite);
            const char* bytes = static_cast<const char*>(data);
            uint32_t done = 0;
            while (done < length) {
                ssize_t n = ::write(input, bytes + done, length - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw CMessageException("WriteFile() failed, GetLastError=%u", static_cast<unsigned>(errno));
                done += static_cast<uint32_t>(n);
            }
        }, "CSatelliteProcess::CSatelliteProcessImpl::Write(0x%08x, %u)", LabelAddress(data), length);
    }

    std::shared_ptr<uint8_t[]> Read(uint32_t& length) {
        return Traced([&] { return ReadInternal(output, length); },
                      "CSatelliteProcess::CSatelliteProcessImpl::Read(0x%08x)", LabelAddress(&length));
    }

    std::shared_ptr<uint8_t[]> ReadErr(uint32_t& length) {
        return Traced([&] { return ReadInternal(error, length); },
                      "CSatelliteProcess::CSatelliteProcessImpl::ReadErr(0x%08x)", LabelAddress(&length));
    }

    bool WaitForOutput(uint32_t milliseconds) {
        pollfd ready{output, POLLIN, 0};
        int result;
        do
            result = ::poll(&ready, 1, static_cast<int>(milliseconds));
        while (result < 0 && errno == EINTR);
        return result > 0;
    }

    void CloseInput() {
        if (input >= 0)
            ::close(input);
        input = -1;
    }

private:
    std::shared_ptr<uint8_t[]> ReadInternal(int fd, uint32_t& length) {
        return Traced([&] {
            std::shared_ptr<uint8_t[]> buffer(new uint8_t[kReadSize]);
            for (;;) {
                ssize_t n = ::read(fd, buffer.get(), kReadSize);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw CMessageException("ReadFile() failed, GetLastError=%u", static_cast<unsigned>(errno));
                length = static_cast<uint32_t>(n);  // 0: the child closed the stream or exited
                return buffer;
            }
        }, "CSatelliteProcess::CSatelliteProcessImpl::ReadInternal(0x%08x, 0x%08x)", static_cast<unsigned>(fd),
           LabelAddress(&length));
    }

    int input;
    int output;
    int error;

public:
    const pid_t process;  // -1 when the child failed to start
};

CSatelliteProcess::CSatelliteProcess(const std::string& commandLine) : commandLine(commandLine) {
    Traced([&] {
        CScopedLock hold(CreationLock(), kInfinite);
        CIOPipe in(STDIN_FILENO, "w");
        CIOPipe out(STDOUT_FILENO, "r");
        CIOPipe err(STDERR_FILENO, "r");

        std::vector<std::string> words = SplitCommandLine(commandLine);
        if (words.empty())
            throw CMessageException("CreateProcess() failed, GetLastError=%u", static_cast<unsigned>(ENOENT));
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const bool here = words[0].find('/') == std::string::npos && IsExecutableHere(words[0]);
        const std::string program = here ? "./" + words[0] : words[0];

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        in.AddTo(actions);
        out.AddTo(actions);
        err.AddTo(actions);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int signalNumber : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
            sigaddset(&defaults, signalNumber);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        pid_t child = -1;
        int result = program.find('/') != std::string::npos
                         ? posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ)
                         : posix_spawnp(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        // The parent keeps only its own ends; the pipes close the child's ends as they go.
        impl = std::make_shared<CSatelliteProcessImpl>(in.TakeParentEnd(), out.TakeParentEnd(), err.TakeParentEnd(),
                                                       result == 0 ? child : -1);
        if (result != 0) {
            completed = true;  // nothing to wait for
            throw CMessageException("CreateProcess() failed, GetLastError=%u", static_cast<unsigned>(result));
        }
    }, "CSatelliteProcess::CSatelliteProcess('%s')", commandLine.c_str());
}

CSatelliteProcess::~CSatelliteProcess() {
    Contained([&] {
        if (completed)
            return;
        impl->CloseInput();  // else a server that is still running would never end
        uint32_t code = WaitForCompletion();
        if (code != 0)
            Logger().Warning("Satellite process '%s' returned exit code %u", commandLine.c_str(), code);
    }, "CSatelliteProcess::~CSatelliteProcess()");
}

void CSatelliteProcess::Write(const void* data, uint32_t length) {
    Traced([&] { impl->Write(data, length); }, "CSatelliteProcess::Write(0x%08x, %u)",
           LabelAddress(data), length);
}

std::shared_ptr<uint8_t[]> CSatelliteProcess::Read(uint32_t& length) {
    return Traced([&] { return impl->Read(length); }, "CSatelliteProcess::Read(0x%08x)",
                  LabelAddress(&length));
}

std::shared_ptr<uint8_t[]> CSatelliteProcess::ReadErr(uint32_t& length) {
    return Traced([&] { return impl->ReadErr(length); }, "CSatelliteProcess::ReadErr(0x%08x)",
                  LabelAddress(&length));
}

void CSatelliteProcess::StoreExitStatus(int status) {
    exitCode = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status))
                                 : 128u + static_cast<uint32_t>(WTERMSIG(status));
    completed = true;
}

uint32_t CSatelliteProcess::WaitForCompletion() {
    return Traced([&] {
        if (completed)
            return exitCode;
        int status = 0;
        pid_t done;
        do
            done = ::waitpid(impl->process, &status, 0);
        while (done < 0 && errno == EINTR);
        if (done != impl->process)
            throw CMessageException("GetExitCodeProcess('%s') failed, GetLastError=%u", commandLine.c_str(),
                                    static_cast<unsigned>(errno));
        StoreExitStatus(status);
        return exitCode;
    }, "CSatelliteProcess::WaitForCompletion()");
}

bool CSatelliteProcess::HasCompleted() {
    return Traced([&] {
        if (completed)
            return true;
        int status = 0;
        pid_t done = ::waitpid(impl->process, &status, WNOHANG);
        if (done < 0 && errno != EINTR)
            throw CMessageException("GetExitCodeProcess('%s') failed, GetLastError=%u", commandLine.c_str(),
                                    static_cast<unsigned>(errno));
        if (done == impl->process)
            StoreExitStatus(status);
        return completed;
    }, "CSatelliteProcess::HasCompleted()");
}

bool CSatelliteProcess::WaitForOutput(uint32_t milliseconds) { return impl->WaitForOutput(milliseconds); }

void CSatelliteProcess::Signal(int signalNumber) {
    if (!HasCompleted())
        ::kill(impl->process, signalNumber);
}

pid_t CSatelliteProcess::GetProcessId() const { return impl ? impl->process : -1; }

}  // namespace Ovrin
