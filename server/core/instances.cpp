// Function-local statics: the language makes their creation thread-safe and destroys them
// in reverse order of creation.
#include "server/core/instances.h"

namespace Ovrin {

CConfig& Config() {
    static CConfig instance;
    return instance;
}

// The pools' objects read the configuration when they are released, so the configuration
// is made first and therefore outlives them.
CUserPool& UserPool() {
    Config();
    static CUserPool instance;
    return instance;
}

CRuleSetPool& RuleSetPool() {
    Config();
    static CRuleSetPool instance;
    return instance;
}

CNameValueMap& TrainingMap() {
    static CNameValueMap instance;
    return instance;
}

}  // namespace Ovrin
