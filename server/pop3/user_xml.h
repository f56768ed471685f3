// CUserXML: a user's user.xml loaded as an XML document: the user's parameters, how the user
// logs in to the server's POP3 service, and the remote POP3 accounts to collect mail from.
#pragma once

#include <memory>
#include <string>

#include "common/xml_document.h"

namespace Ovrin {

class CUserXML : public CXMLDocument {
public:
    // Loads "<mail-directory>/<user>/user.xml"; a missing or malformed file throws.
    explicit CUserXML(const std::string& userName);

    const std::string& GetUserName() const { return userName; }

private:
    std::string userName;
};

using CUserXMLPtr = std::shared_ptr<CUserXML>;

}  // namespace Ovrin
