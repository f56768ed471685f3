// The mail store under the configured mail-directory.
#include "server/core/mail_store.h"

#include "common/trace.h"
#include "server/core/config.h"
#include "store/filing.h"

namespace Ovrin {

CMailStore MailStore() { return CMailStore(Config().GetValue("mail-directory")); }

std::string UserDirectory(const std::string& user) { return MailStore().UserDirectory(user); }

std::string UserPath(const std::string& user, const std::string& name) { return MailStore().UserPath(user, name); }

void SpoolRawMessages() {
    Traced([] { SpoolRawMessages(MailStore()); }, "SpoolRawMessages()");
}

}  // namespace Ovrin
