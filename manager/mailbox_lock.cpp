#include "manager/mailbox_lock.h"

#include "common/exception.h"
#include "common/file.h"

namespace Ovrin {

TMailboxLock::TMailboxLock(const std::string& mailboxDirectory) {
    try {
        file = std::make_unique<CFile>(mailboxDirectory + "/.lock", CFile::ACCESS_WRITE, CFile::SHARE_NONE,
                                       CFile::OPEN_ALWAYS, CFile::DELETE_ON_CLOSE);
    } catch (const CMessageException&) {
        throw CMessageException("The mailbox is busy, the server is accessing it at this moment.");
    }
}

TMailboxLock::~TMailboxLock() = default;

void TMailboxLock::Release() { file.reset(); }

}  // namespace Ovrin
