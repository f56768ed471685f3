// CUserXML: a user's user.xml, found through the configured mail directory.
#include "server/pop3/user_xml.h"

#include "server/core/mail_store.h"

namespace Ovrin {

CUserXML::CUserXML(const std::string& userName) : CXMLDocument(UserPath(userName, kUserFile)), userName(userName) {}

}  // namespace Ovrin
