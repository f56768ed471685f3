// Runs the Python script of a match or an action against one message.
#include "server/rules/rule_script.h"

#include <filesystem>

#include "common/text.h"
#include "server/rules/python.h"

namespace Ovrin {

std::string RunRuleScript(const std::string& script, const CMessageHeader& header, const CFilePtr& file) {
    CHeaderDictionary source;
    header.DumpToPythonDictionary(source);
    if (file)
        source.strings["x-ovrin-message-filename"] = std::filesystem::absolute(file->GetFilename()).string();
    return Python().Execute(Replace(script, "\r\n", "\n"), source, false);
}

}  // namespace Ovrin
