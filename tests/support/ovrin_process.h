// OvrinProcess: the real ovrin program in a child process, driven through its standard input
// and output like the service drives it, with its log (standard error) collected. Every wait
// has a time limit; the destructor ends a process that is still running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace OvrinTest {

using std::chrono::milliseconds;

// Long enough for a sanitizer build on a busy machine; tests never wait this long when all is well.
constexpr milliseconds kProcessTimeout{20000};

class OvrinProcess {
public:
    // Starts the ovrin program of this build (or another program) with the arguments, in the
    // working directory (the current one when empty).
    explicit OvrinProcess(const std::vector<std::string>& arguments, const std::string& workingDirectory = "",
                          const std::string& program = BinaryPath());
    ~OvrinProcess();
    OvrinProcess(const OvrinProcess&) = delete;
    OvrinProcess& operator=(const OvrinProcess&) = delete;

    static std::string BinaryPath();

    // Writes bytes to the program's standard input.
    void Send(const std::string& bytes);
    // Writes the line with CR LF, as the service does.
    void SendLine(const std::string& line) { Send(line + "\r\n"); }
    // Closes the program's standard input.
    void CloseInput();
    void Signal(int signalNumber);
    pid_t Pid() const { return pid; }

    // The next reply line without its CR LF; nullopt when none arrives within the time (or the
    // output has ended).
    std::optional<std::string> ReadReply(milliseconds timeout = kProcessTimeout);
    // SendLine, then ReadReply; "<no reply>" when none came.
    std::string Command(const std::string& line);
    // Everything the program has written to its standard output so far.
    std::string Output();
    // True once the standard output has been closed by the program.
    bool WaitForOutputEnd(milliseconds timeout = kProcessTimeout);

    // The exit code once the program has ended within the time, with all it wrote collected;
    // nullopt otherwise (also when it was killed by a signal).
    std::optional<int> WaitForExit(milliseconds timeout = kProcessTimeout);

    // Log lines so far, without their CR LF.
    std::vector<std::string> LogLines();
    std::vector<std::string> LogLinesWith(const std::string& fragment);
    // Waits until a log line contains the fragment.
    bool WaitForLog(const std::string& fragment, milliseconds timeout = kProcessTimeout);
    // The whole log, for failure messages.
    std::string LogText();

private:
    struct Stream {
        int fd = -1;
        std::string data;
        bool ended = false;
        std::thread reader;
    };
    void Collect(Stream& stream);

    pid_t pid = -1;
    int input = -1;
    std::optional<int> exitCode;
    bool exited = false;
    std::mutex mutex;
    std::condition_variable changed;
    Stream output;
    Stream log;
    size_t replyPosition = 0;
};

}  // namespace OvrinTest
