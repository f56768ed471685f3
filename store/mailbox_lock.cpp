// The mailbox's ".lock" file, taken through the file layer's exclusive share.
#include "store/mailbox_lock.h"

#include "common/file.h"

namespace Ovrin {

CMailboxLock::CMailboxLock(const std::string& mailboxDirectory)
    : file(std::make_unique<CFile>(mailboxDirectory + "/" + kLockFile, CFile::ACCESS_READ, CFile::SHARE_NONE,
                                   CFile::OPEN_ALWAYS, CFile::DELETE_ON_CLOSE)) {}

CMailboxLock::~CMailboxLock() = default;

void CMailboxLock::Release() { file.reset(); }

}  // namespace Ovrin
