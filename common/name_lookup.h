// CNameLookup: a host name resolved on a thread of its own, so that the thread that needs the
// address goes on serving others while the resolver takes its time. A look-up that is no longer
// wanted is simply dropped; its thread ends by itself once the resolver answers.
#pragma once

#include <memory>
#include <string>

#include "common/internet_address.h"
#include "common/socket_wait.h"

namespace Ovrin {

class CNameLookup {
public:
    // Starts resolving; throws only when no thread can be started.
    explicit CNameLookup(const std::string& name);

    // True once the answer is in.
    bool Done() const;
    // The address, once Done; throws the look-up's failure.
    CInternetAddress Take() const;
    // Readable once the answer is in, for a poll beside sockets.
    CSocketWait GetWait() const;

private:
    struct CState;
    std::shared_ptr<CState> state;
};

}  // namespace Ovrin
