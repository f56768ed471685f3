#include "tests/support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace OvrinTest {

pid_t StartChild(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child != 0)
        return child;
    int code = 100;
    try {
        code = body();
    } catch (...) {
    }
    ::_exit(code);  // no test framework teardown in the child
}

int WaitChild(pid_t child, int timeoutSeconds) {
    if (child < 0)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RunInChild(const std::function<int()>& body, int timeoutSeconds) {
    return WaitChild(StartChild(body), timeoutSeconds);
}

}  // namespace OvrinTest
