// CPOP3Mailbox: one mailbox as a POP3 session sees it: the ".lock" file that keeps a second
// session (and the manager) out, the snapshot of its "*.msg" files, oldest first, with their
// sizes as sent and the deletion marks, and the deletions carried out at QUIT.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/file.h"
#include "store/mailbox_lock.h"

namespace Ovrin {

class CPOP3Mailbox {
public:
    struct CMessage {
        CFileInfo file;
        uint64_t size = 0;  // as sent: every line ended by CR LF, dot-stuffing not counted
        bool deleted = false;
    };

    // Takes the lock file of the directory: throws when another holder has it, or when the
    // directory does not exist (nothing is created here).
    explicit CPOP3Mailbox(const std::string& directory);

    // Lists the messages, sorted by last-write time, oldest first, and reads each for its size
    // as sent (a message with bare LF line ends is longer on the wire than on disk).
    void TakeSnapshot();

    uint32_t GetCount() const { return count; }          // not marked deleted
    uint64_t GetTotalSize() const { return totalSize; }  // of those
    uint32_t GetLastAccessed() const { return lastAccessed; }
    uint32_t GetSize() const { return static_cast<uint32_t>(messages.size()); }
    // 1-based; the entry stays at its number after a deletion.
    const CMessage& GetMessage(uint32_t number) const { return messages.at(number - 1); }

    // The entry of a message number text (digits), or null when there is none; counts as an
    // access for LAST even when the entry is marked deleted.
    const CMessage* Access(const std::string& numberText);
    void MarkDeleted(uint32_t number);
    // Unmarks everything and forgets the accesses.
    void Reset();
    // Deletes the marked files; each failure logs a WARNING and the others are still tried.
    // Returns the numbers of the messages that could not be deleted.
    std::vector<uint32_t> ApplyDeletions();

    // The size of a message file as POP3 sends it: each bare LF counted as CR LF, and a last
    // line without a line end ended.
    static uint64_t SizeAsSent(const std::string& path);

    // A message's unique id (UIDL): its file name without ".msg", which stays while the file
    // lives and no other file of the mailbox has. A name that POP3 cannot carry (over 70
    // characters, or bytes outside 0x21..0x7E) gives the SHA-1 of the name instead.
    static std::string UniqueId(const std::string& fileName);

private:
    std::string directory;
    std::shared_ptr<CMailboxLock> lock;
    std::vector<CMessage> messages;
    uint32_t count = 0;
    uint64_t totalSize = 0;
    uint32_t lastAccessed = 0;
};

}  // namespace Ovrin
