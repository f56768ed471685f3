// The ovrin program: loads config.xml, starts the server, answers control commands on its
// standard input until "stop" (or end of input, or SIGINT/SIGTERM), then shuts down in order.
#include <memory>
#include <string>

#include "common/log.h"
#include "common/trace.h"
#include "common/xml_document.h"
#include "server/program/control_channel.h"
#include "server/program/control_loop.h"
#include "server/core/elapsed_time.h"
#include "server/program/instances.h"
#include "server/program/lifecycle.h"
#include "server/rules/python.h"

using namespace Ovrin;

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the blocked stop signals.
    std::unique_ptr<CControlChannel> channel = CControlChannel::ForStandardStreams();
    Contained([&] {
        StartElapsedTime();
        XMLStartup();
        const std::string configPath = argc > 1 ? argv[1] : "config.xml";
        Config().LoadFromXml(configPath);
        Python();
        Startup();
        StartThreads();
        Logger().Info("main(): %s %s started", Config().GetValue("product-name").c_str(),
                      Config().GetValue("version").c_str());
        SleepInControlLoop(*channel);
        Logger().Info("main(): shutting down...");
        StopThreads();
        RuleSetPool().Clear();
    }, "main()");
    return 0;
}
