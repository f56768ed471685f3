// CIOPipe on pipe2: both ends close on exec, so a child inherits only what is put on its 0, 1, 2.
#include "service/io_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

CIOPipe::CIOPipe(int standardStream, const std::string& mode) : standardStream(standardStream) {
    Traced([&] {
        if (mode != "r" && mode != "w")
            throw CMessageException("Invalid read/write mode");
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw CMessageException("CreatePipe() failed, GetLastError=%u", static_cast<unsigned>(errno));
        // "r": the child writes into ends[1]; "w": the child reads from ends[0].
        parentEnd = mode == "r" ? ends[0] : ends[1];
        childEnd = mode == "r" ? ends[1] : ends[0];
    }, "CIOPipe::CIOPipe(%d, '%s')", standardStream, mode.c_str());
}

CIOPipe::~CIOPipe() {
    Contained([&] {
        if (childEnd >= 0 && ::close(childEnd) != 0)
            throw CMessageException("CloseHandle failed, GetLastError=%u", static_cast<unsigned>(errno));
        if (parentEnd >= 0)
            ::close(parentEnd);
    }, "CIOPipe::~CIOPipe()");
}

void CIOPipe::AddTo(posix_spawn_file_actions_t& actions) const {
    // A dup2 onto itself clears close-on-exec, so even an end that landed on 0..2 is inherited.
    posix_spawn_file_actions_adddup2(&actions, childEnd, standardStream);
}

int CIOPipe::TakeParentEnd() {
    int end = parentEnd;
    parentEnd = -1;
    return end;
}

}  // namespace Ovrin
