// CMailboxLock: a mailbox's ".lock" file, the one lock by which a POP3 session and the manager
// keep each other out of a mailbox. Exclusive and non-blocking, taken only on the file that still
// bears the name; the file goes with the lock.
#pragma once

#include <memory>
#include <string>

namespace Ovrin {

class CFile;

inline constexpr const char* kLockFile = ".lock";

class CMailboxLock {
public:
    // Throws CMessageException when the lock is held elsewhere or the file cannot be made.
    explicit CMailboxLock(const std::string& mailboxDirectory);
    ~CMailboxLock();
    CMailboxLock(const CMailboxLock&) = delete;
    CMailboxLock& operator=(const CMailboxLock&) = delete;

    // Gives the lock up before the holder goes.
    void Release();

private:
    std::unique_ptr<CFile> file;
};

}  // namespace Ovrin
