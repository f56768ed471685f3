// CThread: a thread object whose subclass supplies Execute. Created suspended, started by
// Resume, asked to stop by Terminate; the body polls IsTerminating.
#pragma once

#include <cstdint>
#include <memory>

namespace Ovrin {

class CThread {
public:
    CThread();
    // Terminates and joins a thread still running; owners should Terminate and WaitFor first,
    // since the derived part is gone by the time this runs.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Resume();
    void Terminate();
    bool IsTerminating() const;
    // True when the thread has ended within the time (a thread never started counts as ended).
    bool WaitFor(uint32_t milliseconds);
    static void Sleep(uint32_t milliseconds);

protected:
    virtual void Execute() = 0;

private:
    class CThreadImpl;
    std::shared_ptr<CThreadImpl> impl;
};

}  // namespace Ovrin
