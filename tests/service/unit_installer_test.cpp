// ovrin-service install and remove against a recording stand-in for systemctl.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "service/unit_installer.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/temp_dir.h"

using namespace OvrinTest;
namespace fs = std::filesystem;

namespace {

struct Installation {
    Installation() {
        fs::create_directory(dir / "run");
        fs::create_directory(dir / "units");
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
        OvrinProcess process({command}, "", program);
        auto code = process.WaitForExit();
        errors = process.LogText();
        for (const char* name : {"OVRIN_SYSTEMCTL", "OVRIN_UNIT_DIRECTORY", "OVRIN_SYSTEMD_RUN_DIRECTORY"})
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

    TempDir dir;
    std::string program = dir / "opt/ovrin-service";
    std::string errors;
};

}  // namespace

TEST(UnitInstaller, InstallWritesEnablesAndStartsAndRemoveUndoesIt) {
    Installation installation;
    ASSERT_EQ(installation.Run("install"), std::optional<int>(0)) << installation.errors;
    EXPECT_EQ(installation.TakeCalls(), "daemon-reload\nenable ovrinmail\nstart ovrinmail\n");
    EXPECT_EQ(ReadWholeFile(installation.Unit()),
              "[Unit]\n"
              "Description=Receives, processes, filters and delivers users' mail\n"
              "After=network.target\n"
              "\n"
              "[Service]\n"
              "Type=simple\n"
              "ExecStart=" + installation.program + "\n"
              "WorkingDirectory=" + (installation.dir / "opt") + "\n"
              "Restart=on-failure\n"
              "# SIGTERM to the service alone: it stops the server itself, in order.\n"
              "KillMode=mixed\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");

    // Installed already: not written again, only started.
    WriteWholeFile(installation.Unit(), "kept\n");
    ASSERT_EQ(installation.Run("install"), std::optional<int>(0));
    EXPECT_EQ(installation.TakeCalls(), "start ovrinmail\n");
    EXPECT_EQ(ReadWholeFile(installation.Unit()), "kept\n");

    ASSERT_EQ(installation.Run("remove"), std::optional<int>(0)) << installation.errors;
    EXPECT_EQ(installation.TakeCalls(), "stop ovrinmail\ndisable ovrinmail\ndaemon-reload\n");
    EXPECT_FALSE(fs::exists(installation.Unit()));

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

TEST(UnitInstaller, ExecStartIsQuotedWhenThePathHasBlanks) {
    EXPECT_NE(Ovrin::UnitText("/opt/my ovrin/ovrin-service").find("ExecStart=\"/opt/my ovrin/ovrin-service\"\n"
                                                                   "WorkingDirectory=/opt/my ovrin\n"),
              std::string::npos);
    EXPECT_NE(Ovrin::UnitText("/opt/100%/ovrin-service").find("ExecStart=/opt/100%%/ovrin-service\n"
                                                              "WorkingDirectory=/opt/100%%\n"),
              std::string::npos);
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
