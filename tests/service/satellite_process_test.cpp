// CSatelliteProcess and CLogPumpThread on small shell scripts as children.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include "common/file.h"
#include "service/log_pump_thread.h"
#include "service/satellite_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/thrown_message.h"
#include "tests/support/wait.h"

using namespace Ovrin;
using namespace OvrinTest;

namespace {

// An executable script in the directory; its path is the command line.
std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir / name;
    WriteWholeFile(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

std::string ReadAll(CSatelliteProcess& child, bool error) {
    std::string text;
    for (;;) {
        uint32_t length = 0;
        auto bytes = error ? child.ReadErr(length) : child.Read(length);
        if (length == 0)
            return text;
        text.append(reinterpret_cast<const char*>(bytes.get()), length);
    }
}

int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += ::fcntl(fd, F_GETFD) != -1;
    return count;
}

}  // namespace

TEST(SatelliteProcess, PassesInputAndBothOutputStreamsThroughUnchanged) {
    TempDir dir;
    CSatelliteProcess child(Script(dir, "echo.sh", "read line; printf '%s|out\\r\\n' \"$line\"; printf 'e\\001\\377\\r\\n' >&2; exit 3"));
    child.Write("hello\n", 6);
    EXPECT_EQ(ReadAll(child, false), "hello|out\r\n");
    EXPECT_EQ(ReadAll(child, true), std::string("e\001\377\r\n"));
    EXPECT_EQ(child.WaitForCompletion(), 3u);
    EXPECT_EQ(child.WaitForCompletion(), 3u);  // fetched once, kept
    // Both streams have ended: reads return 0 at once, again and again.
    uint32_t length = 99;
    child.Read(length);
    EXPECT_EQ(length, 0u);
    child.ReadErr(length);
    EXPECT_EQ(length, 0u);
}

TEST(SatelliteProcess, WritesAtMostOnePipeBufferPerCall) {
    TempDir dir;
    // Prints byte 2049 of its input: "y" only when the refused block wrote nothing.
    CSatelliteProcess child(Script(dir, "byte.sh", "head -c 2049 | tail -c 1"));
    const std::string block(2049, 'x');
    EXPECT_EQ(ThrownMessage([&] { child.Write(block.data(), 2049); }),
              "Length of data to write exceeds max. pipe buffer size (2049 > 2048)");
    child.Write(block.data(), 2048);
    child.Write("y", 1);
    EXPECT_EQ(ReadAll(child, false), "y");
    EXPECT_EQ(child.WaitForCompletion(), 0u);
}

TEST(SatelliteProcess, AProgramThatCannotBeStartedFailsAndLeavesNoDescriptor) {
    const int before = OpenDescriptors();
    for (const char* commandLine : {"/nonexistent/ovrin", "no-such-program-here", ""})
        EXPECT_EQ(ThrownMessage([&] { CSatelliteProcess child(commandLine); }).rfind("CreateProcess() failed, GetLastError=", 0),
                  0u) << commandLine;
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SatelliteProcess, DestructionWarnsOnlyOfANonZeroExitCode) {
    TempDir dir;
    for (auto [code, warnings] : {std::pair{0, 0u}, {7, 1u}}) {
        LogCapture log;
        const std::string script = Script(dir, "exit.sh", "exit " + std::to_string(code));
        { CSatelliteProcess child(script); }
        EXPECT_EQ(log.LinesWith("Satellite process '" + script + "' returned exit code 7").size(), warnings);
        EXPECT_EQ(log.LinesWith("WARNING").size(), warnings);
    }
}

TEST(SatelliteProcess, DestroyingARunningChildEndsItThroughItsInput) {
    TempDir dir;
    // Like the server, the child ends when its input ends; the destructor must not wait forever.
    const std::string script = Script(dir, "cat.sh", "cat >/dev/null");
    pid_t pid;
    {
        CSatelliteProcess child(script);
        pid = child.GetProcessId();
    }
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(LogPumpThread, CopiesStandardErrorByteForByteUntilItEnds) {
    TempDir dir;
    CSatelliteSlot slot;
    slot.Replace(std::make_shared<CSatelliteProcess>(
        Script(dir, "log.sh", "printf 'one\\r\\n' >&2; printf 'two\\000\\377 no end' >&2; echo out-is-not-logged")));
    CServiceLog log(dir / "ovrin.log");
    log.Open();
    CLogPumpThread pump(slot, log);
    pump.Resume();
    const std::string expected("one\r\ntwo\000\377 no end", 17);
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(dir / "ovrin.log") == expected; }));
    // A restarted server's lines follow in the same file.
    slot.Replace(std::make_shared<CSatelliteProcess>(Script(dir, "again.sh", "printf 'three\\r\\n' >&2")));
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(dir / "ovrin.log") == expected + "three\r\n"; }));
    pump.Terminate();
    EXPECT_TRUE(pump.WaitFor(5000));
}
