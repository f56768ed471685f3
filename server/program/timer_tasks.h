// The timer thread's four tasks: the user rescan that spreads mail collections over the mail
// interval, one user's mail collection, the spool task that files queued messages, and the
// ruleset flush. Each takes the callback's argument text.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/xml_document.h"
#include "server/core/work_unit.h"
#include "server/pop3/pop3_client_session.h"

namespace Ovrin {

void TimerCallback_RescanUsers(const std::string& argument);
void TimerCallback_InitiateUserPOP3Session(const std::string& userName);
void TimerCallback_SpoolMessages(const std::string& argument);
void TimerCallback_FlushRuleSets(const std::string& argument);

// Makes the parallel unit that collects the mail of one remote account for a local user, with
// the user's configuration. Start-up installs the POP3 client session; tests may install their
// own, and an empty one puts the session back.
using CPOP3ClientConnectionFactory = std::function<CParallelWorkUnitPtr(
    const std::string& userName, const CPOP3Account& account, std::shared_ptr<CXMLDocument> user)>;
void SetPOP3ClientConnectionFactory(CPOP3ClientConnectionFactory factory);
// The factory of the POP3 client session itself.
CParallelWorkUnitPtr MakePOP3ClientConnection(const std::string& userName, const CPOP3Account& account,
                                              std::shared_ptr<CXMLDocument> user);
// A pop3-client element's account with its login (ReadPOP3Login); a leave-on-server-days that
// is no whole number throws, as does a login that cannot be read.
CPOP3Account ReadPOP3Account(CXPathContext& client);

// The first blank line of a message: the header text up to and including it, with LF line ends
// made CR LF. Throws when the bytes hold none.
std::string ExtractMessageHeader(const std::string& bytes);

}  // namespace Ovrin
