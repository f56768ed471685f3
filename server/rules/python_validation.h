// The server's check of a rule script sent over the control connection.
#pragma once

#include <string>

namespace Ovrin {

// The reply to "validate python <script>": every "{{x-ovrin-crlf}}" becomes LF and the script
// is compiled only, never run. Returns "ok", or "err " followed by the error text.
std::string ValidatePythonScript(const std::string& commandArgument);

}  // namespace Ovrin
