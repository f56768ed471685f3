#include "tests/support/server_run.h"

#include <gtest/gtest.h>

namespace OvrinTest {

std::unique_ptr<OvrinProcess> StartServer(ServerHome& home) {
    home.WriteConfig();
    auto process = std::make_unique<OvrinProcess>(std::vector<std::string>{home.ConfigPath()});
    EXPECT_TRUE(process->WaitForLog(kStartedLine)) << process->LogText();
    return process;
}

void StopServer(OvrinProcess& process) {
    EXPECT_EQ(process.Command("stop"), "ok");
    EXPECT_EQ(process.WaitForExit(), 0) << process.LogText();
}

}  // namespace OvrinTest
