// What the POP3 sessions take from the configuration about security: an account's security
// (plain, implicit TLS or STLS), where the server accepts USER and PASS without TLS, and the
// TLS contexts of the two sides.
#pragma once

#include <string>

#include "common/internet_address.h"
#include "common/internet_port.h"
#include "common/tls_context.h"

namespace Ovrin {

enum class TPOP3Security { None, TLS, StartTLS };

// The security attribute of a pop3-client entry: "none", "tls" or "starttls"; empty means
// "tls" on port 995 and "none" on any other. Anything else throws.
TPOP3Security ParsePOP3Security(const std::string& text, const CInternetPort& port);
const char* POP3SecurityText(TPOP3Security security);

enum class TPlaintextAuth { Always, TLSOrLoopback, TLSOnly };

// The parameter pop3-plaintext-auth, "always" when it is not set; another value throws.
TPlaintextAuth POP3PlaintextAuth();
// Whether USER and PASS are accepted on a connection, secured or not, from the peer.
bool AcceptsPlaintextAuth(TPlaintextAuth policy, bool secure, const CInternetAddress& peer);

// The process-wide context of POP3 clients: the system's trusted roots, and tls-ca-file when
// it is set. Made on first use; a file that cannot be loaded throws, and the next use tries again.
CTLSContextPtr POP3ClientTLSContext();
// The server's context from tls-certificate-file and tls-key-file, null when neither is set;
// one without the other, or a file that cannot be loaded, throws.
CTLSContextPtr MakePOP3ServerTLSContext();

}  // namespace Ovrin
