// The two kinds of work that the worker pools run: sequential units, done in one call, and
// parallel units, advanced one step per call in time slices shared with other units.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "common/socket_wait.h"

namespace Ovrin {

class CSequentialWorkUnit {
public:
    explicit CSequentialWorkUnit(std::string name) : name(std::move(name)) {}
    virtual ~CSequentialWorkUnit() = default;
    CSequentialWorkUnit(const CSequentialWorkUnit&) = delete;
    CSequentialWorkUnit& operator=(const CSequentialWorkUnit&) = delete;

    // Two units are the same work when their names are byte-wise equal.
    const std::string& GetName() const { return name; }
    // Does the whole job.
    virtual void Process() = 0;

private:
    const std::string name;
};

class CParallelWorkUnit {
public:
    explicit CParallelWorkUnit(std::string name) : name(std::move(name)) {}
    virtual ~CParallelWorkUnit() = default;
    CParallelWorkUnit(const CParallelWorkUnit&) = delete;
    CParallelWorkUnit& operator=(const CParallelWorkUnit&) = delete;

    const std::string& GetName() const { return name; }
    // One step: false once the job is finished; sets yield (false on entry) to give up the
    // rest of its time slice, for example while it waits on the network.
    virtual bool Process(bool& yield) = 0;
    // What the next step waits for, asked by the worker before it pauses after a pass: a
    // descriptor and direction (the pause ends as soon as it is ready), readyNow (run again
    // without a pause), or neither (a unit that waits on time alone: the whole pause).
    virtual CSocketWait GetWait() const { return CSocketWait{}; }

private:
    const std::string name;
};

using CSequentialWorkUnitPtr = std::shared_ptr<CSequentialWorkUnit>;
using CParallelWorkUnitPtr = std::shared_ptr<CParallelWorkUnit>;

}  // namespace Ovrin
