// The live rule list of a ruleset and the position of a dispatch walk in it, shared by rules
// and by the ruleset actions that rewrite the list while a message is dispatched.
#pragma once

#include <list>
#include <memory>

namespace Ovrin {

class CRule;
using CRulePtr = std::shared_ptr<CRule>;
// A list, so that inserting rules never moves the walk position and erasing a rule moves
// only the position that stood on it.
using CRuleList = std::list<CRulePtr>;
using CRulePosition = CRuleList::iterator;

}  // namespace Ovrin
