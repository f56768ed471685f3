// CConfig: loading config.xml, the validated setter and the process-wide instance.
#include "server/core/config.h"

#include "common/exception.h"
#include "common/validators.h"
#include "common/xml_document.h"

namespace Ovrin {

void CConfig::SetValue(const std::string& name, const std::string& value) {
    Traced([&] {
        if (!Matches(name, ParameterNamePattern()))
            throw CMessageException("Invalid name for a configuration parameter: '%s'", name.c_str());
        CNameValueMap::SetValue(name, value);
        settings.Assign(name, value);
    }, "CConfig::SetValue('%s', '%s')", name.c_str(), value.c_str());
}

void CConfig::DelValue(const std::string& name) {
    CNameValueMap::DelValue(name);
    settings.Forget(name);
}

void CConfig::ClearValues() {
    CNameValueMap::ClearValues();
    settings.ForgetAll();
}

void CConfig::CheckSettings() const {
    Traced([&] { settings.Check(); }, "CConfig::CheckSettings()");
}

void CConfig::LoadFromXml(const std::string& path) {
    Traced([&] {
        CXMLDocument document(path);
        CXPathContext context(document);
        ClearValues();
        CXPathObjectPtr params = context.Eval("/config/params/param");
        for (int i = 0; i < params->GetNodeCount(); ++i) {
            CXPathContext param(params->GetNode(i));
            std::string value = param.Eval("@value")->GetText();
            std::string name = param.Eval("@name")->GetText();
            SetValue(name, value);
        }
        SetValue("product-name", kProductName);
        SetValue("version", kProductVersion);
    }, "CConfig::LoadFromXml('%s')", path.c_str());
}

// A function-local static: created on first use, thread-safe, destroyed at exit after
// everything created later (the pools' objects read it when they are released).
CConfig& Config() {
    static CConfig instance;
    return instance;
}

}  // namespace Ovrin
