// The bodies of the two kinds of worker thread and the list that pushers and the worker share.
#include "server/core/worker_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>
#include <vector>

#include "common/exception.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/xml_document.h"

namespace Ovrin {

namespace {

// Wait for new work while the list is empty; the wake-up event only shortens it.
constexpr uint32_t kIdleWaitMilliseconds = 250;
// Pause after an internal failure has cleared the list.
constexpr uint32_t kRecoverySeconds = 1;

template <class TUnit>
struct KindName;
template <>
struct KindName<CSequentialWorkUnit> {
    static constexpr const char* execute = "CWorkerThread<CSequentialWorkUnit>::Execute()";
    static constexpr const char* internalFailure =
        "CWorkerThread<CSequentialWorkUnit>::Execute(): internal exception caught, clearing all objects and "
        "sleeping for %u second(s)";
};
template <>
struct KindName<CParallelWorkUnit> {
    static constexpr const char* execute = "CWorkerThread<CParallelWorkUnit>::Execute()";
    static constexpr const char* internalFailure =
        "CWorkerThread<CParallelWorkUnit>::Execute(): internal exception caught, clearing all objects and "
        "sleeping for %u second(s)";
};

}  // namespace

template <class TUnit>
CWorkerThread<TUnit>::CWorkerThread(CWorkerEnvironment environment) : environment(std::move(environment)) {
    if constexpr (std::is_same_v<TUnit, CParallelWorkUnit>) {
        wakeUpDescriptor = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeUpDescriptor < 0)
            throw CMessageException("eventfd() failed with errno=%d", errno);
    }
}

template <class TUnit>
CWorkerThread<TUnit>::~CWorkerThread() {
    RequestTermination();
    WaitFor(kInfinite);
    if (wakeUpDescriptor >= 0)
        ::close(wakeUpDescriptor);
}

template <class TUnit>
void CWorkerThread<TUnit>::WakeUp() {
    wakeUp.Set();
    if (wakeUpDescriptor >= 0) {
        const uint64_t one = 1;
        // A full counter already wakes the pause; nothing else can fail here.
        [[maybe_unused]] ssize_t written = ::write(wakeUpDescriptor, &one, sizeof one);
    }
}

template <class TUnit>
void CWorkerThread<TUnit>::PushWorkUnit(const CUnitPtr& unit) {
    Traced([&] { PushWorkUnits({unit}); }, "CWorkerThread::PushWorkUnit(0x%08x)", LabelAddress(unit.get()));
}

template <class TUnit>
void CWorkerThread<TUnit>::PushWorkUnits(const std::vector<CUnitPtr>& batch) {
    CScopedLock hold(listLock, kInfinite);
    bool added = false;
    for (const CUnitPtr& unit : batch) {
        if (names.contains(unit->GetName())) {
            Logger().Warning("CWorkerThread::PushWorkUnit('%s'): ignoring duplicate entry, identical object is "
                             "already being processed",
                             unit->GetName().c_str());
            continue;
        }
        units.push_back(unit);
        names.insert(unit->GetName());
        added = true;
    }
    if (added)
        WakeUp();
}

template <class TUnit>
void CWorkerThread<TUnit>::RequestTermination() {
    Terminate();
    WakeUp();
}

template <class TUnit>
size_t CWorkerThread<TUnit>::GetUnitCount() const {
    CScopedLock hold(listLock, kInfinite);
    return units.size();
}

template <class TUnit>
void CWorkerThread<TUnit>::ClearUnits() {
    std::list<CUnitPtr> dropped;
    {
        CScopedLock hold(listLock, kInfinite);
        dropped.swap(units);
        names.clear();
    }
    // the units die here, outside the list lock, in case their destructors push work
}

template <class TUnit>
typename std::list<typename CWorkerThread<TUnit>::CUnitPtr>::iterator CWorkerThread<TUnit>::Unlist(
    typename std::list<CUnitPtr>::iterator position) {
    names.erase(names.find((*position)->GetName()));
    return units.erase(position);
}

template <class TUnit>
void CWorkerThread<TUnit>::Execute() {
    Contained([&] {
        XMLInstallErrorHandler();
        uint64_t workBudget = 0;
        uint32_t sleepMilliseconds = 0;
        if constexpr (std::is_same_v<TUnit, CParallelWorkUnit>) {
            // Read once per thread life; a missing value ends this thread through the trace.
            const int32_t workMs = AtoL(environment.configValue("parallel-worker-thread-work-ms"));
            const int32_t sleepMs = AtoL(environment.configValue("parallel-worker-thread-sleep-ms"));
            // A negative value would mean an endless pause or slice; it counts as none.
            workBudget = workMs > 0 ? static_cast<uint64_t>(workMs) * 1000 : 0;
            sleepMilliseconds = sleepMs > 0 ? static_cast<uint32_t>(sleepMs) : 0;
        }
        while (!IsTerminating()) {
            if (!Contained([&] { RunPass(workBudget, sleepMilliseconds); }, KindName<TUnit>::internalFailure,
                           kRecoverySeconds)) {
                ClearUnits();
                Sleep(kRecoverySeconds * 1000);
            }
        }
    }, KindName<TUnit>::execute);
}

// Each unit runs once, to its end, in order of arrival; units that arrive while the pass runs
// are taken in the same pass.
template <>
void CWorkerThread<CSequentialWorkUnit>::RunPass(uint64_t, uint32_t) {
    wakeUp.Wait(kIdleWaitMilliseconds);
    std::list<CUnitPtr>::iterator position;
    {
        CScopedLock hold(listLock, kInfinite);
        position = units.begin();
    }
    while (!IsTerminating()) {
        CUnitPtr unit;
        {
            CScopedLock hold(listLock, kInfinite);
            if (position == units.end())
                break;
            unit = *position;
        }
        Contained([&] { unit->Process(); },
                  "CWorkerThread<CSequentialWorkUnit>::Execute(): exception caught when processing '%s', ignoring "
                  "and proceeding to remove",
                  unit->GetName().c_str());
        CScopedLock hold(listLock, kInfinite);
        position = Unlist(position);
    }
}

// The pause ends as soon as one of the thread's units can progress, so a session is not held
// to one step per pause; units waiting on time alone keep the whole pause.
template <>
void CWorkerThread<CParallelWorkUnit>::PauseAfterPass(uint32_t sleepMilliseconds) {
    std::vector<CUnitPtr> listed;
    {
        CScopedLock hold(listLock, kInfinite);
        listed.assign(units.begin(), units.end());
    }
    waits.clear();
    for (const CUnitPtr& unit : listed) {
        CSocketWait wait;
        Contained([&] { wait = unit->GetWait(); }, "CWorkerThread<CParallelWorkUnit>::PauseAfterPass(): '%s'",
                  unit->GetName().c_str());
        waits.push_back(wait);
    }
    // With no unit left, the next pass waits for work on the wake-up event instead.
    if (waits.empty() || sleepMilliseconds == 0 || IsTerminating())
        return;
    // A new unit or a stop request ends the pause too.
    CSocketWait wakeUpWait;
    wakeUpWait.descriptor = wakeUpDescriptor;
    wakeUpWait.directions = CSocketWait::kRead;
    waits.push_back(wakeUpWait);
    WaitForSockets(waits, sleepMilliseconds);
    if (waits.back().ready != 0) {
        uint64_t count;
        [[maybe_unused]] ssize_t got = ::read(wakeUpDescriptor, &count, sizeof count);
    }
}

// The work budget is shared in equal slices among the units listed when the pass begins; a unit
// keeps stepping until it yields, finishes, or its slice is used up.
template <>
void CWorkerThread<CParallelWorkUnit>::RunPass(uint64_t workBudget, uint32_t sleepMilliseconds) {
    size_t count;
    std::list<CUnitPtr>::iterator position;
    {
        CScopedLock hold(listLock, kInfinite);
        count = units.size();
        position = units.begin();
    }
    if (count == 0) {
        wakeUp.Wait(kIdleWaitMilliseconds);
        return;
    }
    const uint64_t slice = workBudget / count;
    for (size_t visited = 0; visited < count; ++visited) {
        CUnitPtr unit;
        {
            CScopedLock hold(listLock, kInfinite);
            if (position == units.end())
                break;
            unit = *position;
        }
        const uint64_t start = environment.elapsedMicroseconds();
        for (;;) {
            bool yield = false;
            bool more = false;
            try {
                more = unit->Process(yield);
            } catch (...) {
                // Named without the reason: a unit reports its failure through its own trace.
                Logger().Error("CWorkerThread<CParallelWorkUnit>::Execute(): exception caught when processing '%s', "
                               "removing object from the list",
                               unit->GetName().c_str());
            }
            if (!more) {
                CScopedLock hold(listLock, kInfinite);
                position = Unlist(position);
                break;
            }
            if (yield || environment.elapsedMicroseconds() - start >= slice) {
                CScopedLock hold(listLock, kInfinite);
                ++position;
                break;
            }
        }
    }
    PauseAfterPass(sleepMilliseconds);
}

template class CWorkerThread<CSequentialWorkUnit>;
template class CWorkerThread<CParallelWorkUnit>;

}  // namespace Ovrin
