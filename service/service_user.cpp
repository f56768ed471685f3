// The user is made by useradd (the system's own tool, which keeps /etc/passwd and /etc/group
// consistent); the hand-over walks each tree without following links.
#include "service/service_user.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <boost/regex.hpp>

#include "common/file.h"
#include "service/system_tool.h"

namespace Ovrin {

namespace {

std::optional<std::pair<uid_t, gid_t>> LookUp() {
    passwd entry {};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwnam_r(kServiceUser, &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return std::nullopt;
    return std::make_pair(found->pw_uid, found->pw_gid);
}

// The path itself, held by an O_PATH descriptor so that nothing swapped in meanwhile (a link
// placed by the user, who owns the tree) makes root change another file: a link only changes
// owner. False with errno set.
bool HandOver(const std::string& path, uid_t uid, gid_t gid) {
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool done = ::fstat(fd, &info) == 0 && ::fchownat(fd, "", uid, gid, AT_EMPTY_PATH) == 0;
    if (done && !S_ISLNK(info.st_mode)) {
        const mode_t mode =
            S_ISDIR(info.st_mode) ? CFile::kPrivateDirectoryMode : (info.st_mode & CFile::kPrivateFileMode);
        // An O_PATH descriptor takes no fchmod; its /proc name reaches the very file it holds.
        done = ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode) == 0;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return done;
}

}  // namespace

CInstalledConfig CInstalledConfig::Read(const std::string& configPath) {
    CInstalledConfig config;
    std::ifstream in(configPath);
    std::stringstream whole;
    whole << in.rdbuf();
    static const boost::regex comment("<!--.*?-->");
    static const boost::regex param("<param\\b[^>]*>");
    static const boost::regex name("\\bname\\s*=\\s*\"([^\"]*)\"");
    static const boost::regex value("\\bvalue\\s*=\\s*\"([^\"]*)\"");
    const std::string text = boost::regex_replace(whole.str(), comment, "");
    for (boost::sregex_iterator it(text.begin(), text.end(), param), end; it != end; ++it) {
        const std::string element = it->str();
        boost::smatch n, v;
        if (!boost::regex_search(element, n, name) || !boost::regex_search(element, v, value))
            continue;
        if (n.str(1) == "mail-directory" && !v.str(1).empty())
            config.mailDirectory = v.str(1);
        if ((n.str(1) == "pop3-port" || n.str(1) == "pop3s-port") && std::atoi(v.str(1).c_str()) > 0 &&
            std::atoi(v.str(1).c_str()) < 1024)
            config.lowPort = true;
    }
    return config;
}

std::optional<std::pair<uid_t, gid_t>> EnsureServiceUser() {
    if (auto existing = LookUp())
        return existing;
    if (RunSystemTool({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                       "--shell", "/usr/sbin/nologin", "--comment", "Ovrin Mail Filter", kServiceUser}) != 0 ||
        !LookUp()) {
        std::fprintf(stderr, "ovrin-service: the system user %s could not be created (useradd failed).\n", kServiceUser);
        return std::nullopt;
    }
    return LookUp();
}

bool GiveToServiceUser(const std::vector<std::string>& paths, uid_t uid, gid_t gid) {
    for (const std::string& path : paths) {
        std::string failed;
        if (!HandOver(path, uid, gid)) {
            failed = path;
        } else if (std::filesystem::is_directory(std::filesystem::symlink_status(path))) {
            std::error_code error;
            // Links are listed, never followed.
            for (std::filesystem::recursive_directory_iterator it(path, error), end; !error && it != end;
                 it.increment(error))
                if (!HandOver(it->path().string(), uid, gid)) {
                    failed = it->path().string();
                    break;
                }
            if (error && failed.empty()) {
                failed = path;
                errno = error.value();
            }
        }
        if (!failed.empty()) {
            std::fprintf(stderr, "ovrin-service: %s could not be given to the user %s: %s\n", failed.c_str(),
                         kServiceUser, std::strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace Ovrin
