// The objects of the user pool and the ruleset pool: a user's user.xml and ruleset.xml, loaded
// by user name. Locking a name and unlocking it makes the next use read the file afresh.
#pragma once

#include <string>

#include "common/xml_document.h"

namespace Ovrin {

// (user)/user.xml as a document.
class CUserDocument : public CXMLDocument {
public:
    explicit CUserDocument(const std::string& user);
};

// (user)/ruleset.xml as a document, validated against (user)/ruleset.xsd on load. It is
// only read, so it has nothing to write back when released.
class CRuleSetDocument : public CXMLDocument {
public:
    explicit CRuleSetDocument(const std::string& user);
};

}  // namespace Ovrin
