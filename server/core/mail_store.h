// The mail store: where a user's files and message directories lie under mail-directory, and
// the start-up step that queues messages an earlier run left unfinished.
#pragma once

#include <string>

namespace Ovrin {

// Directory names inside a user's directory. Names beginning with "." are never mailboxes.
constexpr const char* kRawDirectory = ".raw";      // messages in processing
constexpr const char* kSpoolDirectory = ".spool";  // messages waiting for the spool task
constexpr const char* kSpamMailbox = "spam";
constexpr const char* kDefaultMailbox = "mail";    // what a POP3 login without a mailbox opens

// True when a directory of the mail store root is a user: 1 to 32 word characters.
bool IsUserName(const std::string& name);
// (mail-directory)/(user), joined with "/" and used exactly as configured.
std::string UserDirectory(const std::string& user);
// (mail-directory)/(user)/(name): a file or directory of the user.
std::string UserPath(const std::string& user, const std::string& name);

// Moves every "*.msg" file of each user's .raw directory into the user's .spool directory
// under the same name; a file that cannot go there goes to the user's spam mailbox. Partial
// downloads ("*.part") are deleted. Runs
// before any other thread starts.
void SpoolRawMessages();

}  // namespace Ovrin
