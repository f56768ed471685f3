// CRegexHeaderValueMatch: a match that tests the values of named header fields against
// regular expressions, each covering the whole value, in the mode "any" or "all".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/rules/match.h"
#include "server/rules/regex_cache.h"

namespace Ovrin {

class CRegexHeaderValueMatch : public CMatch {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    CMatchPtr Clone() const override;
    // Macro values are escaped, so they match literally.
    void ApplyHeader(const CMessageHeader& header) override;
    bool Match(const CFilePtr& file, const CMessageHeader& header) override;

    bool IsAll() const { return all; }
    const std::vector<std::string>& GetFieldNames() const { return texts->names; }
    std::vector<std::string> GetPatterns() const;

private:
    struct CPattern {
        std::string text;
        // Compiled on first use and kept until the text changes.
        CCompiledRegexPtr expression;
    };
    // Shared by a rule's match and its per-message clones until a macro changes one of them,
    // so that a clone copies no text and a pattern is compiled once for all of them. They are
    // only used under the lock of their ruleset.
    struct CTexts {
        std::vector<std::string> names;
        std::vector<CPattern> patterns;
    };

    void CopyTo(CRegexHeaderValueMatch& target) const;

    bool all = false;
    std::shared_ptr<CTexts> texts = std::make_shared<CTexts>();
};

}  // namespace Ovrin
