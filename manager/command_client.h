// The command client: one command line to the server through the service's control port per
// connection, one reply line back, serialised by the process-wide command lock.
#pragma once

#include <string>

namespace Ovrin {

constexpr const char* kControlAddress = "127.0.0.1";
constexpr unsigned short kControlPort = 39219;

// True when the reply starts with "ok". The message, when given, gets the reply's value, the
// server's explanation or the error text. Never throws.
bool SendCommand(const std::string& command, std::string* message = nullptr);

}  // namespace Ovrin
