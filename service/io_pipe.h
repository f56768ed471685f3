// CIOPipe: one pipe for one standard stream of a child about to be started. The mode says who
// writes: "r" the parent reads what the child writes, "w" the parent writes what the child
// reads. The parent's end is handed over; the child's end is closed here once the child has it.
#pragma once

#include <spawn.h>

#include <string>

namespace Ovrin {

class CIOPipe {
public:
    // standardStream is the child's descriptor: 0, 1 or 2.
    CIOPipe(int standardStream, const std::string& mode);
    // Closes the child's end in the parent, and the parent's end unless it was taken.
    ~CIOPipe();
    CIOPipe(const CIOPipe&) = delete;
    CIOPipe& operator=(const CIOPipe&) = delete;

    // Puts the child's end on the standard stream in the child (the parent's stay untouched).
    void AddTo(posix_spawn_file_actions_t& actions) const;
    // The parent's end; from then on the caller closes it.
    int TakeParentEnd();

private:
    int standardStream;
    int parentEnd = -1;
    int childEnd = -1;
};

}  // namespace Ovrin
