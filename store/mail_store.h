// The mail store's layout: the root with one directory per user, each user's files, working
// directories and mailboxes, and the special names. Knows no program; the root is given.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Ovrin {

// Directory names inside a user's directory. Names beginning with "." are never mailboxes.
inline constexpr const char* kRawDirectory = ".raw";      // messages in processing
inline constexpr const char* kSpoolDirectory = ".spool";  // messages waiting for the spool task
inline constexpr const char* kSpamMailbox = "spam";       // what no rule accepted, or failed
inline constexpr const char* kDefaultMailbox = "mail";    // what a POP3 login without a mailbox opens
// Dispatch results that are no directory.
inline constexpr const char* kDeleteMailbox = "<delete>";
inline constexpr const char* kContentsMailbox = "<contents>";
// A user's files.
inline constexpr const char* kUserFile = "user.xml";
inline constexpr const char* kRuleSetFile = "ruleset.xml";
inline constexpr const char* kRuleSetSchemaFile = "ruleset.xsd";
// Beside the users: what the manager makes a new user's directory from.
inline constexpr const char* kTemplateDirectory = ".template";

// True for the names of users and of the mailboxes one creates: 1 to 32 word characters.
bool IsUserName(const std::string& name);
bool IsMailboxName(const std::string& name);
// True for a name a message may be filed under: a directory of the user that is none of the
// server's own and no special result.
bool IsFilingTarget(std::string_view name);

// Paths are joined with "/" and the root is used exactly as configured.
class CMailStore {
public:
    explicit CMailStore(std::string root) : root(std::move(root)) {}

    const std::string& Root() const { return root; }
    std::string UserDirectory(std::string_view user) const;
    // A file or directory of the user: user.xml, a mailbox, .raw, ...
    std::string UserPath(std::string_view user, std::string_view name) const;

private:
    std::string root;
};

// The subdirectories not beginning with ".", sorted: the users of the root, the mailboxes of a
// user's directory.
std::vector<std::string> ListVisibleDirectories(const std::string& directory);
// The "*.msg" files of a mailbox, sorted by name.
std::vector<std::string> ListMessageFiles(const std::string& mailboxDirectory);

}  // namespace Ovrin
