// ExecuteAndWait with posix_spawn: the child gets /dev/null for its standard handles and none
// of the manager's descriptors (they are all close-on-exec or closed by the spawn actions).
#include "manager/process.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "common/exception.h"

extern char** environ;

namespace Ovrin {

int ExecuteAndWait(const std::string& commandLine, const std::string& directory) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    // The shell changes directory itself, so a missing directory fails like CreateProcess does.
    std::string script = "cd \"$1\" && exec /bin/sh -c \"$2\"";
    const char* argv[] = {"sh", "-c", script.c_str(), "sh", directory.c_str(), commandLine.c_str(), nullptr};
    pid_t pid = 0;
    int error = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw CMessageException("CreateProcess(%s) failed, GetLastError=%d", commandLine.c_str(), error);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw CMessageException("WaitForSingleObject failed, GetLastError=%d", errno);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    throw CMessageException("GetExitCodeProcess(%s) failed, status=%d", commandLine.c_str(), status);
}

std::string ExpandEnvironment(const std::string& text) {
    std::string result;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find('%', at);
        if (open == std::string::npos) {
            result += text.substr(at);
            break;
        }
        result += text.substr(at, open - at);
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos)
            return "";
        std::string name = text.substr(open + 1, close - open - 1);
        if (name.empty()) {
            result += '%';
        } else {
            const char* value = std::getenv(name.c_str());
            if (!value)
                return "";
            result += value;
        }
        at = close + 1;
    }
    return result;
}

}  // namespace Ovrin
