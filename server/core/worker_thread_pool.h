// CWorkerThreadPool: a fixed set of worker threads of one unit kind, and the placement of each
// pushed unit on a random thread or, sticky, on the thread that its name hashes to.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "server/core/worker_thread.h"

namespace Ovrin {

// The sticky placement: every byte of the name, sign-extended, added and reduced modulo the
// count in unsigned 32-bit arithmetic. The count must be at least 1.
uint32_t StickyThreadIndex(std::string_view name, uint32_t threadCount);

template <class TUnit>
class CWorkerThreadPool {
public:
    using CThreadPtr = std::shared_ptr<CWorkerThread<TUnit>>;

    // Creates worker-threads-per-pool threads, suspended; a count below 1 throws.
    explicit CWorkerThreadPool(const CWorkerEnvironment& environment);
    // Stops the threads if the owner has not.
    ~CWorkerThreadPool();
    CWorkerThreadPool(const CWorkerThreadPool&) = delete;
    CWorkerThreadPool& operator=(const CWorkerThreadPool&) = delete;

    int32_t GetThreadCount() const { return static_cast<int32_t>(threads.size()); }
    const CThreadPtr& GetThread(int32_t index) const { return threads.at(static_cast<size_t>(index)); }
    // Resumes every thread, in index order.
    void Start();
    void PushWorkUnit(const std::shared_ptr<TUnit>& unit, bool sticky);
    // Each unit placed as PushWorkUnit places it, handed to each thread in one step.
    void PushWorkUnits(const std::vector<std::shared_ptr<TUnit>>& units, bool sticky);
    // Terminates and joins each thread in turn, without a time limit; listed units are dropped.
    void Stop();

private:
    uint32_t PlaceUnit(const TUnit& unit, bool sticky) const;
    std::vector<CThreadPtr> threads;
};

extern template class CWorkerThreadPool<CSequentialWorkUnit>;
extern template class CWorkerThreadPool<CParallelWorkUnit>;

using CSequentialWorkerPool = CWorkerThreadPool<CSequentialWorkUnit>;
using CParallelWorkerPool = CWorkerThreadPool<CParallelWorkUnit>;

}  // namespace Ovrin
