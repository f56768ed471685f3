// The server's process-wide instances, one accessor each: created on first use (thread-safe),
// destroyed at exit in the reverse order of their creation.
#pragma once

#include "server/core/config.h"
#include "server/core/lockable_pool.h"
#include "server/core/name_value_map.h"
#include "server/pop3/user_xml.h"
#include "server/rules/ruleset.h"

namespace Ovrin {

using CUserPool = CLockablePool<CUserXML>;
using CRuleSetPool = CLockablePool<CRuleSet>;

CConfig& Config();
// Users' configurations by user name.
CUserPool& UserPool();
// Users' rulesets by user name.
CRuleSetPool& RuleSetPool();
// Message file name (lower case) to the mailbox a message is to be trained towards.
CNameValueMap& TrainingMap();

}  // namespace Ovrin
