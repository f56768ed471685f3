#include "tests/support/server_run.h"

#include <gtest/gtest.h>

namespace OvrinTest {

std::unique_ptr<OvrinProcess> StartServer(ServerHome& home) {
    home.WriteConfig();
    auto process = std::make_unique<OvrinProcess>(std::vector<std::string>{home.ConfigPath()});
    EXPECT_TRUE(process->WaitForLog(kStartedLine)) << process->LogText();
    return process;
}

std::unique_ptr<OvrinProcess> StartServerWithResolvConf(ServerHome& home, const std::string& resolvConf) {
    home.WriteFile("resolv.conf", resolvConf);
    home.WriteConfig();
    auto process = std::make_unique<OvrinProcess>(
        std::vector<std::string>{"-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\" \"$2\"",
                                 home.Path() + "/resolv.conf", OvrinProcess::BinaryPath(), home.ConfigPath()},
        "", "/usr/bin/unshare");
    EXPECT_TRUE(process->WaitForLog(kStartedLine)) << process->LogText();
    return process;
}

void StopServer(OvrinProcess& process) {
    EXPECT_EQ(process.Command("stop"), "ok");
    EXPECT_EQ(process.WaitForExit(), 0) << process.LogText();
}

}  // namespace OvrinTest
