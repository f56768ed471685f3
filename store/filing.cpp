// FileMessage and SpoolRawMessages: every move of a message out of .raw.
#include "store/filing.h"

#include "common/exception.h"
#include "common/file.h"
#include "common/log.h"
#include "common/trace.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

// Into spam under its name; false leaves the file where it is.
bool MoveToSpam(const CMailStore& store, std::string_view user, const std::string& path, std::string_view name,
                std::string& spam) {
    spam = store.UserPath(user, kSpamMailbox) + "/";
    spam += name;
    return CFile::MoveFile(path, spam);
}

}  // namespace

void FileMessage(const CMailStore& store, std::string_view user, const std::string& path, const std::string& target,
                 const std::string& name, const std::string& who) {
    if (target == kDeleteMailbox) {
        if (!CFile::DeleteFile(path))
            Logger().Warning("%s: failed to delete file %s", who.c_str(), path.c_str());
        return;
    }
    // Never left in .raw, where nobody would see it before the next start: what cannot go where
    // the rules said goes to spam.
    if (target != kSpamMailbox) {
        if (!IsFilingTarget(target)) {
            Logger().Error("%s: message file %s has no usable target mailbox ('%s'), the message is moved to spam",
                           who.c_str(), path.c_str(), target.c_str());
        } else {
            const std::string destination = store.UserPath(user, target) + "/" + name;
            if (CFile::MoveFile(path, destination))
                return;
            Logger().Error("%s: failed to move file %s to it's target mailbox at %s, the message is moved to spam",
                           who.c_str(), path.c_str(), destination.c_str());
        }
    }
    std::string spam;
    if (!MoveToSpam(store, user, path, name, spam))
        Logger().Error("%s: failed to move file %s to the spam mailbox at %s, the file stays where it is",
                       who.c_str(), path.c_str(), spam.c_str());
}

void SpoolRawMessages(const CMailStore& store) {
    CDirInfoList users = CFile::EnumerateDirs(store.Root(), "*");
    for (const CDirInfo& user : *users) {
        if (!IsUserName(user.name))
            continue;
        const std::string raw = store.UserPath(user.name, kRawDirectory);
        // A download that an earlier run did not finish; the remote server still has it.
        CFileInfoList partial = CFile::EnumerateFiles(raw, std::string("*") + kPartialSuffix);
        for (const CFileInfo& file : *partial)
            CFile::DeleteFile(file.path);
        CFileInfoList files = CFile::EnumerateFiles(raw, MessageFileName("*"));
        for (const CFileInfo& file : *files) {
            const std::string spooled = store.UserPath(user.name, kSpoolDirectory) + "/" + file.name;
            bool moved = Contained([&] {
                if (!CFile::MoveFile(file.path, spooled))
                    throw CMessageException("Unable to move file %s to %s", file.path.c_str(), spooled.c_str());
            }, "SpoolRawMessages(): caught exception while processing file %s, the file is moved to spam",
               file.path.c_str());
            std::string spam;
            if (!moved && !MoveToSpam(store, user.name, file.path, file.name, spam))
                Logger().Warning("Unable to move file %s to %s", file.path.c_str(), spam.c_str());
        }
    }
}

}  // namespace Ovrin
