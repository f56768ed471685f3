// RunProgram: runs a client program (python3, curl, fetchmail) to its end in a child process
// with its output collected, within a time limit.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace OvrinTest {

struct ProgramResult {
    int exitCode = -1;   // -1 when killed (by a signal, or after the time ran out)
    std::string output;  // standard output and standard error, interleaved
};

// arguments[0] is looked up in PATH; environment entries are added to the test's own.
ProgramResult RunProgram(const std::vector<std::string>& arguments, int timeoutSeconds,
                         const std::map<std::string, std::string>& environment = {});

// tests/support/pop3_client.py, the poplib client the tests script.
std::string POP3ClientScript();

}  // namespace OvrinTest
