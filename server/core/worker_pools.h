// The server's two worker pools: the sequential pool (message processing) and the parallel pool
// (POP3 sessions), each with worker-threads-per-pool threads created suspended on first use.
#pragma once

#include "server/core/worker_thread_pool.h"

namespace Ovrin {

CSequentialWorkerPool& SequentialWorkerPool();
CParallelWorkerPool& ParallelWorkerPool();

}  // namespace Ovrin
