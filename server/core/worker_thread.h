// CWorkerThread<CSequentialWorkUnit> and CWorkerThread<CParallelWorkUnit>: one thread of a worker
// pool with its own list of work units, run one at a time to their end or in time slices.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/event.h"
#include "common/lock.h"
#include "common/socket_wait.h"
#include "common/thread.h"
#include "server/core/elapsed_time.h"
#include "server/core/work_unit.h"

namespace Ovrin {

// What the threads of a pool read from outside: configuration values by name (throwing when a
// value is missing) and the elapsed-time clock of the parallel slices.
struct CWorkerEnvironment {
    std::function<std::string(const std::string& name)> configValue;
    std::function<uint64_t()> elapsedMicroseconds = [] { return static_cast<uint64_t>(ElapsedMicroseconds()); };
};

template <class TUnit>
class CWorkerThread : public CThread {
public:
    using CUnitPtr = std::shared_ptr<TUnit>;

    explicit CWorkerThread(CWorkerEnvironment environment);
    // Stops and joins the thread if its owner has not done so.
    ~CWorkerThread() override;

    // Appends the unit unless a unit of the same name is already listed on this thread.
    void PushWorkUnit(const CUnitPtr& unit);
    // The same for each unit in order, under one lock and with one wake-up: a thread woken for
    // every unit of a burst preempts the pusher once per unit.
    void PushWorkUnits(const std::vector<CUnitPtr>& batch);
    // Terminate, and wake the thread if it waits for work, so that it ends at once.
    void RequestTermination();
    // Units listed now, the one in progress included.
    size_t GetUnitCount() const;

protected:
    void Execute() override;

private:
    void RunPass(uint64_t workBudget, uint32_t sleepMilliseconds);
    void PauseAfterPass(uint32_t sleepMilliseconds);
    void ClearUnits();
    void WakeUp();
    // Removes a listed unit and its name; the list lock is held.
    typename std::list<CUnitPtr>::iterator Unlist(typename std::list<CUnitPtr>::iterator position);

    const CWorkerEnvironment environment;
    CEvent wakeUp{false};
    // The parallel kind's pause polls its units' sockets; this descriptor (an eventfd) joins
    // them so that a push or a stop request ends the pause at once.
    int wakeUpDescriptor = -1;
    mutable CLock listLock;
    std::list<CUnitPtr> units;  // in order of arrival
    std::vector<CSocketWait> waits;  // of the last pause, kept to spare an allocation per pass
    // The names of the listed units, so that the duplicate check costs the same with 5,000
    // units listed as with one.
    std::unordered_multiset<std::string> names;
};

}  // namespace Ovrin
