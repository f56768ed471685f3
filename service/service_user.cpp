// The user is made by useradd (the system's own tool, which keeps /etc/passwd and /etc/group
// consistent); the hand-over walks each tree through descriptors, never following a link.
#include "service/service_user.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The entry and, for a directory, everything below it, each reached from its directory's
// descriptor and held by an O_PATH descriptor that follows no link: nothing the user swaps in
// meanwhile (the user owns the tree) can lead root to another file. A link only changes owner.
// False with errno set and the entry's path in `failed`.
bool HandOverAt(int directory, const std::string& name, const std::string& shown, uid_t uid, gid_t gid,
                std::string& failed) {
    const int fd = ::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    bool done = fd >= 0 && ::fstat(fd, &info) == 0 && ::fchownat(fd, "", uid, gid, AT_EMPTY_PATH) == 0;
    if (done && !S_ISLNK(info.st_mode)) {
        const mode_t mode =
            S_ISDIR(info.st_mode) ? CFile::kPrivateDirectoryMode : (info.st_mode & CFile::kPrivateFileMode);
        // An O_PATH descriptor takes no fchmod; its /proc name reaches the very file it holds.
        done = ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode) == 0;
    }
    if (done && S_ISDIR(info.st_mode)) {
        const int listed = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
        done = entries != nullptr;
        while (done) {
            errno = 0;
            const dirent* entry = ::readdir(entries);
            if (!entry) {
                done = errno == 0;
                break;
            }
            const std::string child = entry->d_name;
            if (child != "." && child != "..")
                done = HandOverAt(::dirfd(entries), child, shown + "/" + child, uid, gid, failed);
        }
        const int error = errno;
        if (entries)
            ::closedir(entries);
        else if (listed >= 0)
            ::close(listed);
        errno = error;
    }
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    errno = error;
    if (!done && failed.empty())
        failed = shown;
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
        if (!HandOverAt(AT_FDCWD, path, path, uid, gid, failed)) {
            std::fprintf(stderr, "ovrin-service: %s could not be given to the user %s: %s\n", failed.c_str(),
                         kServiceUser, std::strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace Ovrin
