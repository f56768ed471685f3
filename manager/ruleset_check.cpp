// The check before the editor writes a ruleset: the store's acceptance rules, run on the bytes
// that would be written.
#include "manager/ruleset_check.h"

#include <QDir>

#include "common/exception.h"
#include "common/file.h"
#include "manager/document.h"
#include "manager/globals.h"
#include "store/ruleset_check.h"

namespace Ovrin {

void CheckRulesetForServer(const TXmlDocument& document, const std::string& schemaPath) {
    constexpr const char* kRefused = "The ruleset has not been saved, the server would refuse to load it";
    std::string scratch = QDir::tempPath().toUtf8().toStdString() + "/ovrin-ruleset-" + NewGuidString() + ".xml";
    struct TRemove {
        std::string path;
        ~TRemove() { CFile::DeleteFile(path); }
    } remove{scratch};
    document.Save(scratch);
    try {
        CheckRuleSetFile(scratch, schemaPath);
    } catch (const CRuleSetRefusal& refusal) {
        if (refusal.Rule().empty())
            throw CMessageException("%s: %s", kRefused, refusal.what());
        throw CMessageException("%s: %s: %s", kRefused, refusal.Rule().c_str(), refusal.what());
    }
}

}  // namespace Ovrin
