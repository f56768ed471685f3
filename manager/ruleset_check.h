// The check a ruleset passes before the editor writes it: what the server would refuse when it
// loads the file (the user's ruleset.xsd, then the values the schema leaves to the server), so
// that a saved ruleset always loads.
#pragma once

#include <string>

namespace Ovrin {

class TXmlDocument;

// Throws a message naming the rule at fault and why; the document is left as it is.
void CheckRulesetForServer(const TXmlDocument& document, const std::string& schemaPath);

}  // namespace Ovrin
