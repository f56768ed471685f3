// How a message file of the mail store is named: the local time stamp that names and message ids
// begin with, and the one function that gives every message file its name.
#pragma once

#include <string>
#include <string_view>

namespace Ovrin {

inline constexpr const char* kMessageExtension = ".msg";
// Ends the name of a download while it is written, so that the start-up step that requeues
// .raw never takes a partial file for a message.
inline constexpr const char* kPartialSuffix = ".part";

// The 17-digit local time with milliseconds ("yyyymmddhhmmssmmm").
std::string LocalTimeStamp();

// Where a new message file comes from, which decides the shape of its name.
enum class CMessageOrigin {
    Downloaded,  // the POP3 client: the time stamp and three digits, 20 digits in all
    Spooled,     // taken from the spool: the time stamp, a dot and three digits
};

// The name of a message file: `stem` and ".msg". Every message file name is made here.
std::string MessageFileName(std::string_view stem);
// A new message file's path in the directory as a pattern of CFile's unique names (one "%03d"
// drawn until the name is free), for a file of that origin. A "%" of the directory stays itself.
std::string NewMessageFilePattern(std::string_view directory, CMessageOrigin origin);

}  // namespace Ovrin
