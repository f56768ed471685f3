// The manager's view of the mail store: where a user's directory, mailboxes and spool lie,
// which names users and mailboxes may have, and which mailboxes a user has.
#pragma once

#include <string>

#include "manager/globals.h"

namespace Ovrin {

// The names of users and mailboxes: 1 to 32 word characters, the whole name.
inline constexpr const char* kNamePattern = "[[:word:]]{1,32}";

std::string UserDirectory(const std::string& user);
std::string MailboxDirectory(const std::string& user, const std::string& mailbox);
std::string SpoolDirectory(const std::string& user);

// The subdirectories of the directory not beginning with ".", sorted: the users of the mail
// directory, the mailboxes of a user's directory.
TStringArray VisibleDirectories(const std::string& directory);
// The "*.msg" files of a mailbox, sorted.
TStringArray MessageFiles(const std::string& mailboxDirectory);

}  // namespace Ovrin
