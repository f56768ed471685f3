// ValidatePythonScript: compile-only check of a script whose line breaks travel as a macro.
#include "server/rules/python_validation.h"

#include "common/exception.h"
#include "common/text.h"
#include "server/message/header_dictionary.h"
#include "server/rules/python.h"

namespace Ovrin {

std::string ValidatePythonScript(const std::string& commandArgument) {
    const std::string script = Replace(commandArgument, "{{x-ovrin-crlf}}", "\n");
    try {
        Python().Execute(script, CHeaderDictionary{}, true);
        return "ok";
    } catch (const CMessageException& e) {
        return std::string("err ") + e.what();
    }
}

}  // namespace Ovrin
