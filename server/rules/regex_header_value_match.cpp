// CRegexHeaderValueMatch: header field values tested against anchored regular expressions.
#include "server/rules/regex_header_value_match.h"

#include "common/exception.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "store/ruleset_element.h"

namespace Ovrin {

namespace {

// A text that a header's Apply would give back unchanged (a lone "{{" or "}}" makes it throw).
bool WithoutMacros(const std::string& text) {
    return text.find("{{") == std::string::npos && text.find("}}") == std::string::npos;
}

}  // namespace

void CRegexHeaderValueMatch::Load(xmlNodePtr element) {
    Traced([&] {
        CMatch::Load(element);
        // Names and mode as CMatch::Create checked them.
        std::string fieldNames = ReadElementText(element, "@header-field-name");
        auto loaded = std::make_shared<CTexts>();
        std::vector<std::string>& names = loaded->names;
        size_t start = 0;
        while (start <= fieldNames.size()) {
            size_t end = fieldNames.find(';', start);
            if (end == std::string::npos)
                end = fieldNames.size();
            if (end > start)
                names.push_back(fieldNames.substr(start, end - start));
            start = end + 1;
        }
        all = ReadElementText(element, "@match-mode") == "all";
        for (xmlNodePtr regex : SelectElements(element, "regexes/regex"))
            loaded->patterns.push_back(CPattern{ReadElementText(regex, "@pattern"), nullptr});
        texts = std::move(loaded);
    }, "CRegexHeaderValueMatch::Load(0x%08x)", LabelAddress(element));
}

void CRegexHeaderValueMatch::Save(xmlNodePtr element) const {
    Traced([&] {
        CMatch::Save(element);
        const std::vector<std::string>& names = texts->names;
        if (names.empty())
            throw CMessageException("Unexpected match state: empty list of header field names");
        std::string fieldNames;
        for (const std::string& name : names)
            fieldNames += (fieldNames.empty() ? "" : ";") + name;
        SetElementAttribute(element, "header-field-name", fieldNames);
        SetElementAttribute(element, "match-mode", all ? "all" : "any");
        xmlNodePtr regexes = AddChildElement(element, "regexes");
        for (const CPattern& pattern : texts->patterns)
            SetElementAttribute(AddChildElement(regexes, "regex"), "pattern", pattern.text);
    }, "CRegexHeaderValueMatch::Save(0x%08x)", LabelAddress(element));
}

void CRegexHeaderValueMatch::CopyTo(CRegexHeaderValueMatch& target) const {
    Traced([&] {
        CMatch::CopyTo(target);
        target.all = all;
        target.texts = texts;
    }, "CRegexHeaderValueMatch::CopyTo(0x%08x)", LabelAddress(&target));
}

CMatchPtr CRegexHeaderValueMatch::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CRegexHeaderValueMatch>();
        CopyTo(*clone);
        return CMatchPtr(clone);
    }, "CRegexHeaderValueMatch::Clone()");
}

std::vector<std::string> CRegexHeaderValueMatch::GetPatterns() const {
    std::vector<std::string> result;
    for (const CPattern& pattern : texts->patterns)
        result.push_back(pattern.text);
    return result;
}

void CRegexHeaderValueMatch::ApplyHeader(const CMessageHeader& header) {
    Traced([&] {
        // Only texts with macros change; the rest stays shared.
        std::shared_ptr<CTexts> applied;
        auto own = [&] {
            if (!applied)
                applied = std::make_shared<CTexts>(*texts);
            return applied.get();
        };
        for (size_t i = 0; i < texts->names.size(); ++i) {
            if (WithoutMacros(texts->names[i]))
                continue;
            std::string name = header.Apply(texts->names[i], EscapeRegex);
            if (name != texts->names[i])
                own()->names[i] = std::move(name);
        }
        for (size_t i = 0; i < texts->patterns.size(); ++i) {
            if (WithoutMacros(texts->patterns[i].text))
                continue;
            std::string text = header.Apply(texts->patterns[i].text, EscapeRegex);
            if (text != texts->patterns[i].text)
                own()->patterns[i] = CPattern{std::move(text), nullptr};
        }
        if (applied)
            texts = std::move(applied);
    }, "CRegexHeaderValueMatch::ApplyHeader(0x%08x)", LabelAddress(&header));
}

bool CRegexHeaderValueMatch::Match(const CFilePtr& file, const CMessageHeader& header) {
    return Traced([&] {
        bool result = false;
        // Compiled when first tested: a decisive test ends the match before a later pattern,
        // valid or not, is ever compiled.
        for (CPattern& pattern : texts->patterns) {
            for (const std::string& name : texts->names) {
                unsigned count = header.GetValueCount(name);
                for (unsigned i = 0; i < count; ++i) {
                    std::string value = ValidateRegexedLine(header.GetValue(name, i));
                    if (!pattern.expression)
                        pattern.expression = CompiledRegex("^" + pattern.text + "$", boost::regex::perl);
                    result = boost::regex_match(value, *pattern.expression);
                    if (!all && result)
                        return true;
                    if (all && !result)
                        return false;
                }
            }
        }
        return result;
    }, "CRegexHeaderValueMatch::Match(0x%08x, 0x%08x)", LabelAddress(file.get()), LabelAddress(&header));
}

}  // namespace Ovrin
