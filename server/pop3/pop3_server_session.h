// CPOP3ServerConnection: one mail client's POP3 session, a parallel work unit that a worker
// advances one non-blocking step at a time: the greeting, one command read and answered at a
// time, messages streamed in 64 KiB chunks, deletions carried out after QUIT; STLS where the
// server has a certificate.
#pragma once

#include <memory>
#include <string>

#include "common/connected_socket.h"
#include "common/internet_address.h"
#include "common/tls_context.h"
#include "server/core/work_unit.h"

namespace Ovrin {

class CPOP3ServerConnection : public CParallelWorkUnit {
public:
    // Queues the greeting; the connection is non-blocking, with its inactivity time-out set.
    // With a TLS context a plain connection offers STLS.
    explicit CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection, CTLSContextPtr tls = nullptr);
    // Logs the user's disconnection; after QUIT deletes the messages marked deleted; releases
    // the mailbox lock.
    ~CPOP3ServerConnection() override;

    bool Process(bool& yield) override;
    CSocketWait GetWait() const override;

    // The longest command line read; a longer one ends the session (lines up to it are cut to
    // the length regular expressions see, and answered).
    static constexpr uint32_t kMaxCommandLine = 8192;

private:
    CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> connection, const CInternetAddress& peer,
                          CTLSContextPtr tls);

    class CImpl;
    std::unique_ptr<CImpl> impl;
};

}  // namespace Ovrin
