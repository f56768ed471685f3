// The mail store's paths, name tests and listings.
#include "store/mail_store.h"

#include <algorithm>

#include "common/file.h"
#include "common/validators.h"
#include "store/message_name.h"

namespace Ovrin {

bool IsUserName(const std::string& name) { return Matches(name, NamePattern()); }

bool IsMailboxName(const std::string& name) { return IsUserName(name); }

bool IsFilingTarget(std::string_view name) {
    return !name.empty() && name[0] != '.' && name[0] != '<' && name.find('/') == std::string_view::npos;
}

std::string CMailStore::UserDirectory(std::string_view user) const {
    std::string path = root;
    path += '/';
    path += user;
    return path;
}

std::string CMailStore::UserPath(std::string_view user, std::string_view name) const {
    std::string path = UserDirectory(user);
    path += '/';
    path += name;
    return path;
}

std::vector<std::string> ListVisibleDirectories(const std::string& directory) {
    std::vector<std::string> names;
    const CDirInfoList dirs = CFile::EnumerateDirs(directory, "*");
    for (const CDirInfo& dir : *dirs)
        if (!dir.name.empty() && dir.name[0] != '.')
            names.push_back(dir.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ListMessageFiles(const std::string& mailboxDirectory) {
    std::vector<std::string> names;
    const CFileInfoList files = CFile::EnumerateFiles(mailboxDirectory, MessageFileName("*"));
    for (const CFileInfo& file : *files)
        names.push_back(file.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Ovrin
