// The server's mail store: the store's layout under the configured mail-directory.
#pragma once

#include <string>

#include "store/mail_store.h"

namespace Ovrin {

CMailStore MailStore();
// (mail-directory)/(user) and (mail-directory)/(user)/(name).
std::string UserDirectory(const std::string& user);
std::string UserPath(const std::string& user, const std::string& name);

// The start-up return of unfinished messages to the spool, in the configured store.
void SpoolRawMessages();

}  // namespace Ovrin
