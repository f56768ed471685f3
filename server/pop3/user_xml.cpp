// CUserXML: a user's user.xml, found through the configured mail directory.
#include "server/pop3/user_xml.h"

#include "server/core/instances.h"

namespace Ovrin {

namespace {

std::string UserFilePath(const std::string& userName) {
    return Config().GetValue("mail-directory") + "/" + userName + "/user.xml";
}

}  // namespace

CUserXML::CUserXML(const std::string& userName) : CXMLDocument(UserFilePath(userName)), userName(userName) {}

}  // namespace Ovrin
