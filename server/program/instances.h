// The ovrin program's process-wide instances, one accessor each: created on first use
// (thread-safe), destroyed at exit in the reverse order of their creation. The instances that
// lower layers use live with their types (Config, UserPool, RuleSetPool, the worker pools, the
// timer thread, the Python host); this header gathers them for the program's wiring.
#pragma once

#include "server/core/config.h"
#include "server/core/name_value_map.h"
#include "server/pop3/user_pool.h"
#include "server/rules/ruleset_pool.h"

namespace Ovrin {

// Message file name (lower case) to the mailbox a message is to be trained towards.
CNameValueMap& TrainingMap();

}  // namespace Ovrin
