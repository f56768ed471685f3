// The installed demo: cmake --install lays out one directory, and the service started there
// files the sample messages of the demo user's spool with the demo ruleset; what holds mail and
// secrets stays private throughout.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "common/file.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

size_t Messages(const std::string& directory) { return Ovrin::CFile::EnumerateFiles(directory, "*.msg")->size(); }

// Everything of the installed directory but its programs and samples is its owner's alone.
void ExpectPrivate(const std::string& home) {
    for (const std::string& top : {home + "/config.xml", home + "/ovrin.log", home + "/mail"}) {
        if (!fs::exists(top))
            continue;
        std::vector<fs::path> paths{top};
        if (fs::is_directory(top))
            paths.insert(paths.end(), fs::recursive_directory_iterator(top), fs::recursive_directory_iterator());
        for (const fs::path& path : paths) {
            struct stat info {};
            ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
            EXPECT_EQ(info.st_mode & 07777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << path;
        }
    }
}

}  // namespace

TEST(DemoInstall, TheServiceFilesTheSampleMessagesIntoTheDemoMailboxes) {
    TempDir dir;
    const std::string home = dir / "ovrin";
    const std::string install = "cmake --install '" + std::string(OVRIN_BINARY_DIR) + "' --prefix '" + home +
                                "' >/dev/null";
    const mode_t umask = ::umask(022);  // the usual one, which the programs must not follow
    ASSERT_EQ(std::system(install.c_str()), 0);
    ExpectPrivate(home);
    for (const char* entry : {"ovrin", "ovrin-service", "config.xml", "mail/demo/ruleset.xml", "mail/.template",
                              "mail/.template/spam", "mail/demo/.raw", "samples/spam-and-lists.xml"})
        EXPECT_TRUE(fs::exists(home + "/" + entry)) << entry;
    // Git's placeholders of empty directories stay in the source tree.
    for (const auto& entry : fs::recursive_directory_iterator(home + "/mail"))
        EXPECT_NE(entry.path().filename(), ".keep") << entry.path();
    const std::string user = home + "/mail/demo";
    const size_t spooled = Messages(user + "/.spool");
    ASSERT_EQ(spooled, 5u);
    // The mailboxes start with the samples a mail client reads before anything is filed.
    const size_t inMail = Messages(user + "/mail"), inLists = Messages(user + "/lists"),
                 inSpam = Messages(user + "/spam");

    OvrinProcess service({}, "/", home + "/ovrin-service");
    // The demo's spool task runs every 5 s.
    EXPECT_TRUE(WaitUntil([&] { return Messages(user + "/.spool") + Messages(user + "/.raw") == 0 &&
                                       Messages(user + "/mail") + Messages(user + "/lists") +
                                               Messages(user + "/spam") == spooled + inMail + inLists + inSpam; },
                          std::chrono::seconds(30)))
        << service.LogText();
    EXPECT_EQ(Messages(user + "/mail"), inMail + 2);
    EXPECT_EQ(Messages(user + "/lists"), inLists + 2);
    EXPECT_EQ(Messages(user + "/spam"), inSpam + 1);

    // A second install keeps the mail store and the configuration as they are now.
    ASSERT_EQ(std::system(install.c_str()), 0);
    EXPECT_EQ(Messages(user + "/.spool"), 0u);
    EXPECT_EQ(Messages(user + "/mail"), inMail + 2);

    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), std::optional<int>(0)) << service.LogText();
    ExpectPrivate(home);
    ::umask(umask);
}
