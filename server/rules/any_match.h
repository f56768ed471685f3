// CAnyMatch: the match that every message passes.
#pragma once

#include "server/rules/match.h"

namespace Ovrin {

class CAnyMatch : public CMatch {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    CMatchPtr Clone() const override;
    void ApplyHeader(const CMessageHeader&) override {}
    bool Match(const CFilePtr&, const CMessageHeader&) override { return true; }

private:
    void CopyTo(CAnyMatch& target) const;
};

}  // namespace Ovrin
