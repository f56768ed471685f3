// CRegexHeaderValueMatch: header field values tested against anchored regular expressions.
#include "server/rules/regex_header_value_match.h"

#include "common/exception.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/rules/trace_address.h"
#include "server/rules/xml_element.h"

namespace Ovrin {

void CRegexHeaderValueMatch::Load(xmlNodePtr element) {
    Traced([&] {
        CMatch::Load(element);
        std::string fieldNames = ReadElementText(element, "@header-field-name");
        if (fieldNames.empty())
            throw CMessageException("Invalid or missing match attribute header-field-name");
        names.clear();
        size_t start = 0;
        while (start <= fieldNames.size()) {
            size_t end = fieldNames.find(';', start);
            if (end == std::string::npos)
                end = fieldNames.size();
            if (end > start)
                names.push_back(fieldNames.substr(start, end - start));
            start = end + 1;
        }
        if (names.empty())
            throw CMessageException("Invalid or empty match attribute header-field-name");
        std::string mode = ReadElementText(element, "@match-mode");
        if (mode == "any")
            all = false;
        else if (mode == "all")
            all = true;
        else
            throw CMessageException("Invalid or missing match attribute match-mode");
        patterns.clear();
        for (xmlNodePtr regex : SelectElements(element, "regexes/regex"))
            patterns.push_back(CPattern{ReadElementText(regex, "@pattern"), nullptr});
    }, "CRegexHeaderValueMatch::Load(0x%08x)", TraceAddress(element));
}

void CRegexHeaderValueMatch::Save(xmlNodePtr element) const {
    Traced([&] {
        CMatch::Save(element);
        if (names.empty())
            throw CMessageException("Unexpected match state: empty list of header field names");
        std::string fieldNames;
        for (const std::string& name : names)
            fieldNames += (fieldNames.empty() ? "" : ";") + name;
        SetElementAttribute(element, "header-field-name", fieldNames);
        SetElementAttribute(element, "match-mode", all ? "all" : "any");
        xmlNodePtr regexes = AddChildElement(element, "regexes");
        for (const CPattern& pattern : patterns)
            SetElementAttribute(AddChildElement(regexes, "regex"), "pattern", pattern.text);
    }, "CRegexHeaderValueMatch::Save(0x%08x)", TraceAddress(element));
}

void CRegexHeaderValueMatch::CopyTo(CRegexHeaderValueMatch& target) const {
    Traced([&] {
        CMatch::CopyTo(target);
        target.all = all;
        target.names = names;
        target.patterns.clear();
        target.patterns = patterns;
    }, "CRegexHeaderValueMatch::CopyTo(0x%08x)", TraceAddress(&target));
}

CMatchPtr CRegexHeaderValueMatch::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CRegexHeaderValueMatch>();
        CopyTo(*clone);
        return CMatchPtr(clone);
    }, "CRegexHeaderValueMatch::Clone()");
}

std::vector<std::string> CRegexHeaderValueMatch::GetPatterns() const {
    std::vector<std::string> texts;
    for (const CPattern& pattern : patterns)
        texts.push_back(pattern.text);
    return texts;
}

void CRegexHeaderValueMatch::ApplyHeader(const CMessageHeader& header) {
    Traced([&] {
        for (std::string& name : names)
            name = header.Apply(name, EscapeRegex);
        for (CPattern& pattern : patterns) {
            std::string applied = header.Apply(pattern.text, EscapeRegex);
            if (applied != pattern.text) {
                pattern.text = applied;
                pattern.expression.reset();
            }
        }
    }, "CRegexHeaderValueMatch::ApplyHeader(0x%08x)", TraceAddress(&header));
}

bool CRegexHeaderValueMatch::Match(const CFilePtr& file, const CMessageHeader& header) {
    return Traced([&] {
        bool result = false;
        // Compiled when first tested: a decisive test ends the match before a later pattern,
        // valid or not, is ever compiled.
        for (CPattern& pattern : patterns) {
            for (const std::string& name : names) {
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
    }, "CRegexHeaderValueMatch::Match(0x%08x, 0x%08x)", TraceAddress(file.get()), TraceAddress(&header));
}

}  // namespace Ovrin
