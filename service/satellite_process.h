// CSatelliteProcess: a child program whose standard input, output and error are pipes held
// here. Writes command lines to it, reads its output and error in chunks, waits for its exit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Ovrin {

class CSatelliteProcess {
public:
    static constexpr uint32_t kMaxWrite = 2048;
    static constexpr uint32_t kReadSize = 4096;

    // The command line is the program and its arguments separated by blanks. A program named
    // without a slash is taken from the current directory when it is there, else from PATH.
    explicit CSatelliteProcess(const std::string& commandLine);
    // Waits for the child unless its exit code was fetched (closing its input first, which a
    // server takes for the end of its commands); a non-zero code is logged as a WARNING.
    ~CSatelliteProcess();
    CSatelliteProcess(const CSatelliteProcess&) = delete;
    CSatelliteProcess& operator=(const CSatelliteProcess&) = delete;

    // All of it to the child's standard input; at most kMaxWrite bytes.
    void Write(const void* data, uint32_t length);
    // Up to kReadSize bytes of the child's standard output (Read) or error (ReadErr); blocks
    // until some arrive. A length of 0 means the stream has ended, then at once every time.
    std::shared_ptr<uint8_t[]> Read(uint32_t& length);
    std::shared_ptr<uint8_t[]> ReadErr(uint32_t& length);
    // True once Read would not block (output waiting, or the stream ended) within the time.
    bool WaitForOutput(uint32_t milliseconds);

    // Waits for the exit; the code is fetched once. A child ended by a signal gets 128 + its number.
    uint32_t WaitForCompletion();
    // True once the child has exited (its code is then fetched); never blocks.
    bool HasCompleted();

    // Sends the signal to the child unless its exit code was fetched (its pid may be reused then).
    void Signal(int signalNumber);
    pid_t GetProcessId() const;
    const std::string& GetCommandLine() const { return commandLine; }

private:
    class CSatelliteProcessImpl;
    void StoreExitStatus(int status);

    std::string commandLine;
    std::shared_ptr<CSatelliteProcessImpl> impl;
    bool completed = false;
    uint32_t exitCode = 0;
};

}  // namespace Ovrin
