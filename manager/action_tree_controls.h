// The action controllers under a rule: dispatch to a mailbox, a Python script, and a change of
// the ruleset (with the subordinate rule of an insert shown below it).
#pragma once

#include "manager/ruleset_element_tree_control.h"

namespace Ovrin {

// The commented-out script a new Python action starts with.
extern const char* const kSampleActionScript;

class TDispatchActionTreeControl : public TRulesetElementTreeControl {
public:
    TDispatchActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode action,
                               std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    // Rebuilds the "Mailboxes" picker from the user's directory.
    bool BeginLoad() override;
    bool CanSave() override { return true; }
    bool CanValidate() override { return true; }
    bool Validate(const std::string& key, const std::string& value) override;
};

class TPythonActionTreeControl : public TRulesetElementTreeControl {
public:
    TPythonActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode action,
                             std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool BeginLoad() override { return true; }
    bool CanSave() override { return true; }
    bool CanValidate() override { return true; }
    bool Validate(const std::string& key, const std::string& value) override;
};

class TRulesetActionTreeControl : public TRulesetElementTreeControl {
public:
    TRulesetActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode action,
                              std::string user);
    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    // The reference is editable only for "insert-before" and "insert-after".
    bool BeginLoad() override;
    std::string GetValue(const std::string& key) override;
    void SetValue(const std::string& key, const std::string& value) override;
    bool CanSave() override;

private:
    bool TakesReference();
};

// The key of the ruleset action panel's method, shown in words, never written.
constexpr const char* kMethodCaptionKey = "(method)";

// The caption of a ruleset action by its method; unknown methods are shown as they are.
std::string RulesetActionCaption(const std::string& method);

}  // namespace Ovrin
