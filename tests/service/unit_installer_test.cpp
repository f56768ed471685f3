// ovrin-service install and remove against a recording stand-in for systemctl.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>

#include "service/unit_installer.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

struct Installation {
    Installation() {
        fs::create_directory(dir / "run");
        fs::create_directory(dir / "units");
        fs::create_directory(dir / "logrotate.d");
        fs::create_directory(dir / "opt");
        fs::copy_file(std::string(OVRIN_BINARY_DIR) + "/ovrin-service", program);
        WriteWholeFile(dir / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (dir / "calls") + "'\n");
        ::chmod((dir / "systemctl").c_str(), 0755);
    }

    // Runs the program with the stand-in; its exit code.
    std::optional<int> Run(const std::string& command, bool systemdRunning = true) {
        ::setenv("OVRIN_SYSTEMCTL", (dir / "systemctl").c_str(), 1);
        ::setenv("OVRIN_UNIT_DIRECTORY", (dir / "units").c_str(), 1);
        ::setenv("OVRIN_SYSTEMD_RUN_DIRECTORY", (dir / (systemdRunning ? "run" : "absent")).c_str(), 1);
        ::setenv("OVRIN_LOGROTATE_DIRECTORY", (dir / "logrotate.d").c_str(), 1);
        OvrinProcess process({command}, "", program);
        auto code = process.WaitForExit();
        errors = process.LogText();
        for (const char* name :
             {"OVRIN_SYSTEMCTL", "OVRIN_UNIT_DIRECTORY", "OVRIN_SYSTEMD_RUN_DIRECTORY", "OVRIN_LOGROTATE_DIRECTORY"})
            ::unsetenv(name);
        return code;
    }

    // The calls recorded since the last look, one per line.
    std::string TakeCalls() {
        if (!fs::exists(dir / "calls"))
            return "";
        std::string calls = ReadWholeFile(dir / "calls");
        fs::remove(dir / "calls");
        return calls;
    }

    std::string Unit() const { return dir / "units/ovrinmail.service"; }
    std::string Logrotate() const { return dir / "logrotate.d/ovrinmail"; }

    TempDir dir;
    std::string program = dir / "opt/ovrin-service";
    std::string errors;
};


// The service's user for the test: created by the install when missing, and then removed again.
struct ServiceUserOfTheTest {
    ServiceUserOfTheTest() : existed(::getpwnam(Ovrin::kServiceUser) != nullptr) {}
    ~ServiceUserOfTheTest() {
        if (!existed)
            RunProgram({"userdel", Ovrin::kServiceUser}, 30);
    }
    const bool existed;
};

// systemd-analyze's overall exposure score of a unit file, where the tool is installed.
std::optional<double> ExposureScore(const std::string& unit) {
    ProgramResult result = RunProgram({"systemd-analyze", "security", "--offline=yes", "--no-pager", unit}, 60);
    const std::string marker = "Overall exposure level for ";
    size_t at = result.output.find(marker);
    if (at == std::string::npos || (at = result.output.find(": ", at)) == std::string::npos)
        return std::nullopt;
    return std::stod(result.output.substr(at + 2));
}

}  // namespace

TEST(UnitInstaller, InstallWritesEnablesAndStartsAndRemoveUndoesIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "install creates a system user and hands it files: only root may";
    const ServiceUserOfTheTest user;
    Installation installation;
    const std::string home = installation.dir / "opt";
    WriteWholeFile(home + "/config.xml", "<config><params><param name=\"mail-directory\" value=\"store\"/>"
                                         "<param name=\"pop3-port\" value=\"11110\"/></params></config>\n");
    ::chmod((home + "/config.xml").c_str(), 0644);
    fs::create_directories(home + "/store/demo/mail");
    WriteWholeFile(home + "/store/demo/user.xml", "<user/>\n");
    ::chmod((home + "/store/demo/user.xml").c_str(), 0644);
    // A link in the store is handed over itself; what it points at, and below, stays as it is.
    fs::create_directory(installation.dir / "outside");
    WriteWholeFile(installation.dir / "outside/file", "not the store's\n");
    ::chmod((installation.dir / "outside/file").c_str(), 0644);
    fs::create_symlink(installation.dir / "outside", home + "/store/demo/link");
    ::umask(022);
    ASSERT_EQ(installation.Run("install"), std::optional<int>(0)) << installation.errors;
    EXPECT_EQ(installation.TakeCalls(), "daemon-reload\nenable ovrinmail\nstart ovrinmail\n");

    // The user exists now and holds the mutable parts, private to it; the programs stay root's.
    const passwd* account = ::getpwnam(Ovrin::kServiceUser);
    ASSERT_NE(account, nullptr);
    EXPECT_STREQ(account->pw_shell, "/usr/sbin/nologin");
    EXPECT_FALSE(fs::exists(account->pw_dir));
    const std::pair<std::string, mode_t> owned[] = {
        {"config.xml", 0600}, {"ovrin.log", 0600}, {"store", 0700}, {"store/demo", 0700},
        {"store/demo/mail", 0700}, {"store/demo/user.xml", 0600}};
    for (const auto& [path, mode] : owned) {
        struct stat info {};
        ASSERT_EQ(::stat((home + "/" + path).c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 07777, mode) << path;
        EXPECT_EQ(info.st_uid, account->pw_uid) << path;
    }
    struct stat outside {}, link {};
    ASSERT_EQ(::stat((installation.dir / "outside/file").c_str(), &outside), 0);
    EXPECT_EQ(outside.st_mode & 07777, 0644u);
    EXPECT_EQ(outside.st_uid, 0u);
    ASSERT_EQ(::lstat((home + "/store/demo/link").c_str(), &link), 0);
    EXPECT_EQ(link.st_uid, account->pw_uid);
    struct stat program {};
    ASSERT_EQ(::stat(installation.program.c_str(), &program), 0);
    EXPECT_EQ(program.st_uid, 0u);

    const std::string unit = ReadWholeFile(installation.Unit());
    for (const std::string& line : {
             "ExecStart=" + installation.program, "WorkingDirectory=" + home, std::string("User=ovrinmail"),
             std::string("Group=ovrinmail"), std::string("UMask=0077"), std::string("NoNewPrivileges=yes"),
             std::string("ProtectSystem=strict"), std::string("ProtectHome=yes"), std::string("PrivateTmp=yes"),
             std::string("PrivateDevices=yes"), "ReadWritePaths=" + home + " " + home + "/store",
             std::string("CapabilityBoundingSet="), std::string("AmbientCapabilities="),
             std::string("RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK"),
             std::string("SystemCallFilter=@system-service"), std::string("ExecReload=/bin/kill -HUP $MAINPID")})
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
    // Both files are the system's, readable by all; neither holds a secret.
    for (const std::string& path : {installation.Unit(), installation.Logrotate()}) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
    }
    const std::string logrotate = ReadWholeFile(installation.Logrotate());
    for (const std::string& line : {"\"" + home + "/ovrin.log\" {", std::string("    weekly"),
                                    std::string("    compress"), std::string("    create 0600 ovrinmail ovrinmail"),
                                    std::string("        systemctl reload ovrinmail.service >/dev/null 2>&1 || true")})
        EXPECT_NE(logrotate.find("\n" + line + "\n"), std::string::npos) << line << "\n" << logrotate;
    if (auto score = ExposureScore(installation.Unit())) {
        std::printf("systemd-analyze security: %.1f\n", *score);
        EXPECT_LE(*score, 2.5) << unit;
    } else {
        std::printf("systemd-analyze is not installed: the unit's score was not checked\n");
    }

    // Installed already: not written again, only started.
    WriteWholeFile(installation.Unit(), "kept\n");
    ASSERT_EQ(installation.Run("install"), std::optional<int>(0));
    EXPECT_EQ(installation.TakeCalls(), "start ovrinmail\n");
    EXPECT_EQ(ReadWholeFile(installation.Unit()), "kept\n");

    ASSERT_EQ(installation.Run("remove"), std::optional<int>(0)) << installation.errors;
    EXPECT_EQ(installation.TakeCalls(), "stop ovrinmail\ndisable ovrinmail\ndaemon-reload\n");
    EXPECT_FALSE(fs::exists(installation.Unit()));
    EXPECT_FALSE(fs::exists(installation.Logrotate()));

    // Not installed: nothing to do, and no failure.
    ASSERT_EQ(installation.Run("remove"), std::optional<int>(0));
    EXPECT_EQ(installation.TakeCalls(), "");
}

TEST(UnitInstaller, WithoutSystemdBothCommandsFailWithASentence) {
    Installation installation;
    for (const char* command : {"install", "remove"}) {
        EXPECT_EQ(installation.Run(command, false), std::optional<int>(1)) << command;
        EXPECT_NE(installation.errors.find("ovrin-service: systemd is not running on this machine ("), std::string::npos)
            << installation.errors;
        EXPECT_NE(installation.errors.find(std::string("so the service ovrinmail cannot be ") +
                                           (command == std::string("install") ? "installed." : "removed.")),
                  std::string::npos) << installation.errors;
        EXPECT_EQ(installation.TakeCalls(), "");
        EXPECT_FALSE(fs::exists(installation.Unit()));
    }
}

TEST(UnitInstaller, PathsAreQuotedAndOnlyALowPOP3PortGetsItsCapability) {
    TempDir dir;
    struct Case {
        std::string program;
        std::string params;      // of config.xml
        std::string expected;    // lines found in the unit
    };
    const Case cases[] = {
        {"/opt/my ovrin/ovrin-service", "",
         "ExecStart=\"/opt/my ovrin/ovrin-service\"\n"},
        {"/opt/my ovrin/ovrin-service", "",
         "ReadWritePaths=\"/opt/my ovrin\" \"/opt/my ovrin/mail\"\n"},
        {"/opt/100%/ovrin-service", "", "ExecStart=/opt/100%%/ovrin-service\n"},
        {"/opt/100%/ovrin-service", "", "WorkingDirectory=/opt/100%%\n"},
        {"/opt/ovrin/ovrin-service", "<param name=\"mail-directory\" value=\"/srv/mail\"/>",
         "ReadWritePaths=/opt/ovrin /srv/mail\n"},
        {"/opt/ovrin/ovrin-service", "<param name=\"pop3-port\" value=\"110\"/>",
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"},
        {"/opt/ovrin/ovrin-service", "<param value=\"995\" name=\"pop3s-port\"/>",
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"},
        {"/opt/ovrin/ovrin-service", "<!--\n<param name=\"pop3s-port\" value=\"995\"/>\n-->"
                                     "<param name=\"pop3-port\" value=\"11110\"/>",
         "CapabilityBoundingSet=\nAmbientCapabilities=\n"},
    };
    for (const Case& c : cases) {
        WriteWholeFile(dir / "config.xml", "<config><params>" + c.params + "</params></config>\n");
        const std::string unit = Ovrin::UnitText(c.program, Ovrin::CInstalledConfig::Read(dir / "config.xml"));
        EXPECT_NE(unit.find(c.expected), std::string::npos) << c.expected << "\n" << unit;
    }
}

TEST(UnitInstaller, OnlyTheExactWordsInstallOrRemoveAreCommands) {
    Installation installation;
    // Anything else runs the service, which here has no server beside it to start.
    for (const char* command : {"Install", "install ", "remove x", "REMOVE"}) {
        EXPECT_EQ(installation.Run(command), std::optional<int>(1)) << command;
        EXPECT_NE(installation.errors.find("CreateProcess() failed"), std::string::npos) << installation.errors;
        EXPECT_EQ(installation.TakeCalls(), "") << command;
    }
}
