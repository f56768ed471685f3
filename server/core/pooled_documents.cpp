// Loading a user's files for the pools.
#include "server/core/pooled_documents.h"

#include "server/core/mail_store.h"

namespace Ovrin {

CUserDocument::CUserDocument(const std::string& user) : CXMLDocument(UserPath(user, "user.xml")) {}

CRuleSetDocument::CRuleSetDocument(const std::string& user) : CXMLDocument(UserPath(user, "ruleset.xml")) {
    Validate(UserPath(user, "ruleset.xsd"));
}

}  // namespace Ovrin
