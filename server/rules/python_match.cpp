// CPythonMatch: a match decided by a Python script.
#include "server/rules/python_match.h"

#include "common/text.h"
#include "common/trace.h"
#include "store/ruleset_element.h"

namespace Ovrin {

void CPythonMatch::Load(xmlNodePtr element) {
    Traced([&] {
        CMatch::Load(element);
        script = ReadElementText(element, "script");
    }, "CPythonMatch::Load(0x%08x)", LabelAddress(element));
}

void CPythonMatch::Save(xmlNodePtr element) const {
    Traced([&] {
        CMatch::Save(element);
        AddTextElement(element, "script", script);
    }, "CPythonMatch::Save(0x%08x)", LabelAddress(element));
}

void CPythonMatch::CopyTo(CPythonMatch& target) const {
    Traced([&] {
        CMatch::CopyTo(target);
        target.script = script;
    }, "CPythonMatch::CopyTo(0x%08x)", LabelAddress(&target));
}

CMatchPtr CPythonMatch::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CPythonMatch>();
        CopyTo(*clone);
        return CMatchPtr(clone);
    }, "CPythonMatch::Clone()");
}

void CPythonMatch::ApplyHeader(const CMessageHeader& header) {
    Traced([&] { script = header.Apply(script, EscapePython); },
           "CPythonMatch::ApplyHeader(0x%08x)", LabelAddress(&header));
}

bool CPythonMatch::Match(const CFilePtr& file, const CMessageHeader& header) {
    return Traced([&] { return RunRuleScript(script, header, file) == "match"; },
                  "CPythonMatch::Match(0x%08x, 0x%08x)", LabelAddress(file.get()), LabelAddress(&header));
}

}  // namespace Ovrin
