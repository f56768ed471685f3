// CPythonAction: the action whose Python script computes the target mailbox name.
#include "server/rules/python_action.h"

#include "common/text.h"
#include "common/trace.h"
#include "store/ruleset_element.h"

namespace Ovrin {

void CPythonAction::Load(xmlNodePtr element) {
    Traced([&] {
        CAction::Load(element);
        script = ReadElementText(element, "script");
    }, "CPythonAction::Load(0x%08x)", LabelAddress(element));
}

void CPythonAction::Save(xmlNodePtr element) const {
    Traced([&] {
        CAction::Save(element);
        AddTextElement(element, "script", script);
    }, "CPythonAction::Save(0x%08x)", LabelAddress(element));
}

void CPythonAction::CopyTo(CPythonAction& target) const {
    Traced([&] {
        CAction::CopyTo(target);
        target.script = script;
    }, "CPythonAction::CopyTo(0x%08x)", LabelAddress(&target));
}

CActionPtr CPythonAction::Clone() const {
    return Traced([&] {
        auto clone = std::make_shared<CPythonAction>();
        CopyTo(*clone);
        return CActionPtr(clone);
    }, "CPythonAction::Clone()");
}

void CPythonAction::ApplyHeader(const CMessageHeader& header) {
    Traced([&] { script = header.Apply(script, EscapePython); },
           "CPythonAction::ApplyHeader(0x%08x)", LabelAddress(&header));
}

std::string CPythonAction::Activate(const CMessageHeader& header, const CFilePtr& file, const CXMLDocumentPtr&,
                                    CRuleList&, CRulePosition&) {
    return Traced([&] { return RunRuleScript(script, header, file); },
                  "CPythonAction::Activate('%s', 0x%08x)", script.c_str(), LabelAddress(&header));
}

}  // namespace Ovrin
