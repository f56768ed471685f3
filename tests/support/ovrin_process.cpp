#include "tests/support/ovrin_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/support/log_capture.h"

extern char** environ;

namespace OvrinTest {

namespace {

void MakePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

}  // namespace

std::string OvrinProcess::BinaryPath() { return std::string(OVRIN_BINARY_DIR) + "/ovrin"; }

OvrinProcess::OvrinProcess(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                           const std::string& program) {
    int in[2], out[2], err[2];
    MakePipe(in);
    MakePipe(out);
    MakePipe(err);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    std::string binary = program;
    std::vector<char*> argv{binary.data()};
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int result = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input = in[1];
    output.fd = out[0];
    log.fd = err[0];
    if (result != 0) {
        pid = -1;
        throw std::runtime_error("posix_spawn of " + binary + " failed");
    }
    output.reader = std::thread([this] { Collect(output); });
    log.reader = std::thread([this] { Collect(log); });
}

OvrinProcess::~OvrinProcess() {
    CloseInput();
    if (pid > 0 && !WaitForExit(kProcessTimeout)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    for (Stream* stream : {&output, &log}) {
        if (stream->reader.joinable())
            stream->reader.join();
        ::close(stream->fd);
    }
}

void OvrinProcess::Collect(Stream& stream) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> hold(mutex);
        if (n <= 0) {
            stream.ended = true;
            changed.notify_all();
            return;
        }
        stream.data.append(buffer, static_cast<size_t>(n));
        changed.notify_all();
    }
}

void OvrinProcess::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(input, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the program has gone; the test sees it in the replies
        done += static_cast<size_t>(n);
    }
}

void OvrinProcess::CloseInput() {
    if (input >= 0)
        ::close(input);
    input = -1;
}

void OvrinProcess::Signal(int signalNumber) { ::kill(pid, signalNumber); }

std::optional<std::string> OvrinProcess::ReadReply(milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex);
    size_t end = std::string::npos;
    changed.wait_for(hold, timeout, [&] {
        end = output.data.find("\r\n", replyPosition);
        return end != std::string::npos || output.ended;
    });
    if (end == std::string::npos)
        return std::nullopt;
    std::string reply = output.data.substr(replyPosition, end - replyPosition);
    replyPosition = end + 2;
    return reply;
}

std::string OvrinProcess::Command(const std::string& line) {
    SendLine(line);
    return ReadReply().value_or("<no reply>");
}

std::string OvrinProcess::Output() {
    std::lock_guard<std::mutex> hold(mutex);
    return output.data;
}

bool OvrinProcess::WaitForOutputEnd(milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, timeout, [&] { return output.ended; });
}

std::optional<int> OvrinProcess::WaitForExit(milliseconds timeout) {
    if (exited)
        return exitCode;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exited = true;
            if (WIFEXITED(status))
                exitCode = WEXITSTATUS(status);
            // Everything the program wrote is in the pipes by now; let the readers take it all.
            std::unique_lock<std::mutex> hold(mutex);
            changed.wait_until(hold, deadline, [&] { return output.ended && log.ended; });
            return exitCode;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::vector<std::string> OvrinProcess::LogLines() {
    std::lock_guard<std::mutex> hold(mutex);
    return SplitLines(log.data);
}

std::vector<std::string> OvrinProcess::LogLinesWith(const std::string& fragment) {
    std::vector<std::string> found;
    for (const std::string& line : LogLines())
        if (line.find(fragment) != std::string::npos)
            found.push_back(line);
    return found;
}

bool OvrinProcess::WaitForLog(const std::string& fragment, milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, timeout, [&] {
        return log.data.find(fragment) != std::string::npos || log.ended;
    }) && log.data.find(fragment) != std::string::npos;
}

std::string OvrinProcess::LogText() {
    std::lock_guard<std::mutex> hold(mutex);
    return log.data;
}

}  // namespace OvrinTest
