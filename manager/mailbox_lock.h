// TMailboxLock: the mailbox's ".lock" file, the one lock that the manager and the POP3 server's
// sessions exclude each other from a mailbox with. Taken through the file layer exactly as the
// server takes it (exclusive, and only on the file that still bears the name); released, with
// the file deleted, when the holder goes or on Release.
#pragma once

#include <memory>
#include <string>

namespace Ovrin {

class CFile;

class TMailboxLock {
public:
    // Throws "The mailbox is busy, the server is accessing it at this moment." when the lock is
    // held elsewhere (or the file cannot be made).
    explicit TMailboxLock(const std::string& mailboxDirectory);
    ~TMailboxLock();
    TMailboxLock(const TMailboxLock&) = delete;
    TMailboxLock& operator=(const TMailboxLock&) = delete;

    void Release();

private:
    std::unique_ptr<CFile> file;
};

}  // namespace Ovrin
