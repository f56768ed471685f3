// The worker pools as process-wide instances, reading the server's configuration.
#include "server/core/worker_pools.h"

#include "server/core/config.h"

namespace Ovrin {

namespace {

CWorkerEnvironment ServerEnvironment() {
    CWorkerEnvironment environment;
    environment.configValue = [](const std::string& name) { return Config().GetValue(name); };
    return environment;
}

}  // namespace

CSequentialWorkerPool& SequentialWorkerPool() {
    static CSequentialWorkerPool pool(ServerEnvironment());
    return pool;
}

CParallelWorkerPool& ParallelWorkerPool() {
    static CParallelWorkerPool pool(ServerEnvironment());
    return pool;
}

}  // namespace Ovrin
