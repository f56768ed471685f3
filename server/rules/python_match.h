// CPythonMatch: a match decided by a Python script that sets `result` to "match".
#pragma once

#include "server/rules/match.h"

namespace Ovrin {

class CPythonMatch : public CMatch {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    CMatchPtr Clone() const override;
    // Macro values are escaped for Python string literals.
    void ApplyHeader(const CMessageHeader& header) override;
    bool Match(const CFilePtr& file, const CMessageHeader& header) override;

    const std::string& GetScript() const { return script; }

private:
    void CopyTo(CPythonMatch& target) const;

    std::string script;
};

}  // namespace Ovrin
