// The mail store's paths and SpoolRawMessages.
#include "server/core/mail_store.h"

#include "common/exception.h"
#include "common/file.h"
#include "common/log.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/core/config.h"

namespace Ovrin {

bool IsUserName(const std::string& name) { return Matches(name, NamePattern()); }

std::string UserDirectory(const std::string& user) {
    return Config().GetValue("mail-directory") + "/" + user;
}

std::string UserPath(const std::string& user, const std::string& name) {
    return UserDirectory(user) + "/" + name;
}

void SpoolRawMessages() {
    Traced([] {
        const std::string root = Config().GetValue("mail-directory");
        CDirInfoList users = CFile::EnumerateDirs(root, "*");
        for (const CDirInfo& user : *users) {
            if (!IsUserName(user.name))
                continue;
            CFileInfoList files = CFile::EnumerateFiles(user.path + "/" + kRawDirectory, "*.msg");
            for (const CFileInfo& file : *files) {
                const std::string spooled = user.path + "/" + kSpoolDirectory + "/" + file.name;
                bool moved = Contained([&] {
                    if (!CFile::MoveFile(file.path, spooled))
                        throw CMessageException("Unable to move file %s to %s", file.path.c_str(), spooled.c_str());
                }, "SpoolRawMessages(): caught exception while processing file %s, the file is moved to spam",
                   file.path.c_str());
                if (moved)
                    continue;
                const std::string spam = user.path + "/" + kSpamMailbox + "/" + file.name;
                if (!CFile::MoveFile(file.path, spam))
                    Logger().Warning("Unable to move file %s to %s", file.path.c_str(), spam.c_str());
            }
        }
    }, "SpoolRawMessages()");
}

}  // namespace Ovrin
