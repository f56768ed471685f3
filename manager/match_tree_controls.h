// The match controllers under a rule: any message, header field values by regular expressions,
// and a Python script.
#pragma once

#include "manager/ruleset_element_tree_control.h"

namespace Ovrin {

// The commented-out script a new Python match starts with.
extern const char* const kSampleMatchScript;

class TMatchTreeControl : public TRulesetElementTreeControl {
public:
    using TRulesetElementTreeControl::TRulesetElementTreeControl;
    bool BeginLoad() override { return true; }
    bool CanSave() override { return true; }
    bool CanValidate() override { return true; }
};

class TAnyMatchTreeControl : public TMatchTreeControl {
public:
    TAnyMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode match,
                         std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool BeginLoad() override { return false; }
    bool CanSave() override { return false; }
    bool CanValidate() override { return false; }
};

class TRegexMatchTreeControl : public TMatchTreeControl {
public:
    TRegexMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode match,
                           std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    // "regexes/regex/@pattern" is the list of patterns, one per line.
    std::string GetValue(const std::string& key) override;
    void SetValue(const std::string& key, const std::string& value) override;
    bool Validate(const std::string& key, const std::string& value) override;
};

class TPythonMatchTreeControl : public TMatchTreeControl {
public:
    TPythonMatchTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode match,
                            std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool Validate(const std::string& key, const std::string& value) override;
};

// The lines of a memo, trimmed, without the empty ones.
TStringArray MemoLines(const std::string& text);
// "validate python" of a script; the warning "The script is invalid: %s" when refused.
bool ValidatePythonScript(const std::string& script);

}  // namespace Ovrin
