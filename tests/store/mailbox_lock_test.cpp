// CMailboxLock: one holder at a time, and the file goes with the lock.
#include "store/mailbox_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/exception.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;

TEST(MailboxLock, OneHolderAtATimeAndTheFileGoesWithTheLock) {
    OvrinTest::TempDir dir;
    const std::string lockFile = dir / ".lock";
    {
        CMailboxLock first(dir.Path());
        EXPECT_TRUE(std::filesystem::exists(lockFile));
        EXPECT_THROW(CMailboxLock second(dir.Path()), CMessageException);
        first.Release();
        EXPECT_FALSE(std::filesystem::exists(lockFile));
        CMailboxLock third(dir.Path());
    }
    EXPECT_FALSE(std::filesystem::exists(lockFile));
    EXPECT_THROW(CMailboxLock missing(dir / "no-such-mailbox"), CMessageException);
}
