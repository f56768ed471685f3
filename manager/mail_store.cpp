#include "manager/mail_store.h"

#include <algorithm>

namespace Ovrin {

std::string UserDirectory(const std::string& user) { return MailDirectory() + "/" + user; }

std::string MailboxDirectory(const std::string& user, const std::string& mailbox) {
    return UserDirectory(user) + "/" + mailbox;
}

std::string SpoolDirectory(const std::string& user) { return UserDirectory(user) + "/.spool"; }

TStringArray VisibleDirectories(const std::string& directory) {
    TStringArray names = ListDirectories("*", directory);
    std::erase_if(names, [](const std::string& name) { return name.empty() || name[0] == '.'; });
    std::sort(names.begin(), names.end());
    return names;
}

TStringArray MessageFiles(const std::string& mailboxDirectory) {
    TStringArray names = ListFiles("*.msg", mailboxDirectory);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Ovrin
