// A mailbox's lock, snapshot and deletions for one POP3 session.
#include "server/pop3/pop3_mailbox.h"

#include <algorithm>
#include <cstdlib>

#include "common/digest.h"
#include "common/log.h"
#include "common/trace.h"
#include "store/message_name.h"

namespace Ovrin {

CPOP3Mailbox::CPOP3Mailbox(const std::string& directory)
    : directory(directory),
      lock(std::make_shared<CMailboxLock>(directory)),
      messages(std::make_shared<std::vector<CFileInfo>>()) {}

void CPOP3Mailbox::TakeSnapshot() {
    messages = CFile::EnumerateFiles(directory, MessageFileName("*"));
    std::stable_sort(messages->begin(), messages->end(),
                     [](const CFileInfo& a, const CFileInfo& b) { return a.time < b.time; });
    count = static_cast<uint32_t>(messages->size());
    totalSize = 0;
    for (CFileInfo& message : *messages) {
        message.flag = false;
        totalSize += message.size;
    }
    lastAccessed = 0;
}

const CFileInfo* CPOP3Mailbox::Access(const std::string& numberText) {
    const unsigned long number = std::strtoul(numberText.c_str(), nullptr, 10);
    if (number == 0 || number > messages->size())
        return nullptr;
    lastAccessed = std::max(lastAccessed, static_cast<uint32_t>(number));
    return &(*messages)[number - 1];
}

void CPOP3Mailbox::MarkDeleted(uint32_t number) {
    CFileInfo& message = messages->at(number - 1);
    if (message.flag)
        return;
    message.flag = true;
    --count;
    totalSize -= message.size;
}

void CPOP3Mailbox::Reset() {
    for (CFileInfo& message : *messages) {
        if (message.flag) {
            message.flag = false;
            ++count;
            totalSize += message.size;
        }
    }
    lastAccessed = 0;
}

void CPOP3Mailbox::ApplyDeletions() {
    for (const CFileInfo& message : *messages) {
        if (message.flag && !CFile::DeleteFile(message.path))
            Logger().Warning("CPOP3ServerConnection::~CPOP3ServerConnection(): closing mailbox, unable to delete "
                             "file '%s'",
                             message.path.c_str());
    }
}

std::string CPOP3Mailbox::UniqueId(const std::string& fileName) {
    constexpr size_t kMaxUniqueId = 70;
    // Only the lower-case extension goes: "a.msg" and "a.MSG" are two files with two ids.
    std::string id = fileName;
    const std::string_view extension = kMessageExtension;
    if (id.size() > extension.size() && id.ends_with(extension))
        id.resize(id.size() - extension.size());
    const bool carried = id.size() <= kMaxUniqueId &&
                         std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    return carried ? id : HexDigest(fileName);
}

}  // namespace Ovrin
