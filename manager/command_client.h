// The command client: one command line to the server through the service's control port per
// connection, one reply line back, serialised by the process-wide command lock.
#pragma once

#include <string>

namespace Ovrin {

constexpr const char* kControlAddress = "127.0.0.1";
constexpr unsigned short kControlPort = 39219;

// The whole exchange gives up after this long.
constexpr int kDefaultCommandTimeoutMs = 10000;
constexpr const char* kNoAnswer = "the service did not answer";

// True when the reply starts with "ok". The message, when given, gets the reply's value, the
// server's explanation or the error text ("the service did not answer" after the time limit).
// Never throws. Called on the GUI thread, the exchange runs on a helper thread while the window
// goes on painting and running its timers (user input waits).
bool SendCommand(const std::string& command, std::string* message = nullptr);

void SetCommandTimeout(int milliseconds);
// How many commands the GUI thread is waiting for now; the window defers work that would
// rebuild the tree under a waiting controller.
int CommandsWaitingOnGuiThread();

}  // namespace Ovrin
