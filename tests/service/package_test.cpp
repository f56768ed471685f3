// The Debian package, built with cpack from this build and installed on this machine with dpkg,
// then removed and purged: what it lays out, for whom, and what it keeps.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHome = "/opt/ovrin";

// Purges the package however the test ends, and removes the user when the test made it.
struct InstalledPackage {
    InstalledPackage() : userExisted(::getpwnam("ovrinmail") != nullptr) {}
    ~InstalledPackage() {
        RunProgram({"dpkg", "--purge", "ovrin"}, 120);
        if (!userExisted)
            RunProgram({"userdel", "ovrinmail"}, 30);
    }
    ProgramResult Dpkg(const std::vector<std::string>& arguments) {
        std::vector<std::string> command{"dpkg"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return RunProgram(command, 120, {{"DEBIAN_FRONTEND", "noninteractive"}});
    }
    const bool userExisted;
};

struct Expected {
    std::string path;
    mode_t mode;
    bool ownedByService;  // else root's
};

void ExpectLaidOut(const std::vector<Expected>& entries) {
    const passwd* account = ::getpwnam("ovrinmail");
    ASSERT_NE(account, nullptr);
    EXPECT_STREQ(account->pw_shell, "/usr/sbin/nologin");
    for (const Expected& entry : entries) {
        struct stat info {};
        ASSERT_EQ(::lstat(entry.path.c_str(), &info), 0) << entry.path;
        EXPECT_EQ(info.st_mode & 07777, entry.mode) << entry.path;
        EXPECT_EQ(info.st_uid, entry.ownedByService ? account->pw_uid : 0u) << entry.path;
    }
}

}  // namespace

TEST(Package, InstallsPrivatelyAndKeepsConfigurationAndMailUntilPurge) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "dpkg -i needs root";
    if (fs::exists(kHome) || RunProgram({"dpkg-query", "-W", "ovrin"}, 30).exitCode == 0)
        GTEST_SKIP() << "an Ovrin is installed on this machine already; it is left alone";
    TempDir dir;
    ProgramResult built = RunProgram({"cpack", "-G", "DEB", "--config", std::string(OVRIN_BINARY_DIR) +
                                      "/CPackConfig.cmake", "-B", dir.Path()}, 300);
    ASSERT_EQ(built.exitCode, 0) << built.output;
    const std::string deb = dir / "ovrin_1.4_amd64.deb";
    ASSERT_TRUE(fs::exists(deb)) << built.output;
    ProgramResult info = RunProgram({"dpkg-deb", "--field", deb, "Depends"}, 30);
    EXPECT_NE(info.output.find("libxml2"), std::string::npos) << info.output;

    InstalledPackage package;
    ProgramResult installed = package.Dpkg({"--install", deb});
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    const std::string home = kHome;
    ExpectLaidOut({{home + "/ovrin", 0755, false},
                   {home + "/ovrin-service", 0755, false},
                   {home + "/config.xml", 0600, true},
                   {home + "/ovrin.log", 0600, true},
                   {home + "/mail", 0700, true},
                   {home + "/mail/demo", 0700, true},
                   {home + "/mail/demo/user.xml", 0600, true},
                   {home + "/mail/demo/.spool", 0700, true},
                   {"/lib/systemd/system/ovrinmail.service", 0644, false},
                   {"/etc/logrotate.d/ovrinmail", 0644, false}});
    const std::string unit = ReadWholeFile("/lib/systemd/system/ovrinmail.service");
    EXPECT_NE(unit.find("\nExecStart=/opt/ovrin/ovrin-service\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nUser=ovrinmail\n"), std::string::npos) << unit;
    const std::string wanted = "/etc/systemd/system/multi-user.target.wants/ovrinmail.service";
    if (fs::exists("/usr/bin/systemctl")) {
        EXPECT_TRUE(fs::is_symlink(wanted));  // enabled, not started: config.xml wants editing first
    }

    // Mail and configuration as an administrator leaves them, through a remove and a reinstall.
    const std::string message = home + "/mail/demo/mail/kept.msg";
    WriteWholeFile(message, "Subject: kept\r\n\r\n");
    WriteWholeFile(home + "/config.xml", ReadWholeFile(home + "/config.xml") + "<!-- edited -->\n");
    ASSERT_EQ(package.Dpkg({"--remove", "ovrin"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(home + "/ovrin"));
    EXPECT_TRUE(fs::exists(message));
    ASSERT_EQ(package.Dpkg({"--install", deb}).exitCode, 0);
    EXPECT_TRUE(fs::exists(message));
    EXPECT_NE(ReadWholeFile(home + "/config.xml").find("<!-- edited -->"), std::string::npos);

    ProgramResult purged = package.Dpkg({"--purge", "ovrin"});
    ASSERT_EQ(purged.exitCode, 0) << purged.output;
    EXPECT_FALSE(fs::exists(home));
    EXPECT_FALSE(fs::exists("/etc/logrotate.d/ovrinmail"));
    EXPECT_FALSE(fs::exists("/lib/systemd/system/ovrinmail.service"));
    EXPECT_FALSE(fs::is_symlink(wanted));
}
