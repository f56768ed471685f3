// Creation, placement and stopping of the worker threads of a pool.
#include "server/core/worker_thread_pool.h"

#include "common/exception.h"
#include "common/random.h"
#include "common/text.h"
#include "common/trace.h"

namespace Ovrin {

uint32_t StickyThreadIndex(std::string_view name, uint32_t threadCount) {
    uint32_t hash = 0;
    for (char byte : name)
        hash = (hash + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte)))) % threadCount;
    return hash;
}

template <class TUnit>
CWorkerThreadPool<TUnit>::CWorkerThreadPool(const CWorkerEnvironment& environment) {
    Traced([&] {
        const std::string text = environment.configValue("worker-threads-per-pool");
        const int32_t count = AtoI(text);
        // Both placements divide by the count, so a pool without threads could take no work.
        if (count < 1)
            throw CMessageException("Invalid value of worker-threads-per-pool: '%s', a worker pool needs at least "
                                    "one thread",
                                    text.c_str());
        threads.reserve(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i)
            threads.push_back(std::make_shared<CWorkerThread<TUnit>>(environment));
    }, "CWorkerThreadPool::CWorkerThreadPool()");
}

template <class TUnit>
CWorkerThreadPool<TUnit>::~CWorkerThreadPool() {
    Contained([&] { Stop(); }, "CWorkerThreadPool::~CWorkerThreadPool()");
}

template <class TUnit>
void CWorkerThreadPool<TUnit>::Start() {
    for (const auto& thread : threads)
        thread->Resume();
}

template <class TUnit>
uint32_t CWorkerThreadPool<TUnit>::PlaceUnit(const TUnit& unit, bool sticky) const {
    const auto count = static_cast<uint32_t>(threads.size());
    return sticky ? StickyThreadIndex(unit.GetName(), count) : Random(count);
}

template <class TUnit>
void CWorkerThreadPool<TUnit>::PushWorkUnit(const std::shared_ptr<TUnit>& unit, bool sticky) {
    Traced([&] { threads[PlaceUnit(*unit, sticky)]->PushWorkUnit(unit); }, "CWorkerThreadPool::PushWorkUnit(0x%08x, %s)",
           LabelAddress(unit.get()), sticky ? "STICKY" : "ANY THREAD");
}

template <class TUnit>
void CWorkerThreadPool<TUnit>::PushWorkUnits(const std::vector<std::shared_ptr<TUnit>>& units, bool sticky) {
    Traced([&] {
        std::vector<std::vector<std::shared_ptr<TUnit>>> perThread(threads.size());
        for (const auto& unit : units)
            perThread[PlaceUnit(*unit, sticky)].push_back(unit);
        for (size_t i = 0; i < threads.size(); ++i)
            if (!perThread[i].empty())
                threads[i]->PushWorkUnits(perThread[i]);
    }, "CWorkerThreadPool::PushWorkUnits(%u, %s)", static_cast<unsigned>(units.size()), sticky ? "STICKY" : "ANY THREAD");
}

template <class TUnit>
void CWorkerThreadPool<TUnit>::Stop() {
    Traced([&] {
        for (const auto& thread : threads) {
            thread->RequestTermination();
            thread->WaitFor(kInfinite);
        }
    }, "CWorkerThreadPool::Stop()");
}

template class CWorkerThreadPool<CSequentialWorkUnit>;
template class CWorkerThreadPool<CParallelWorkUnit>;

}  // namespace Ovrin
