// TUserRuleTreeControl: a rule of the ruleset, or the subordinate rule of an insert action. Its
// children are its matches, then its actions; its popup adds matches, actions and rules.
#pragma once

#include "manager/ruleset_element_tree_control.h"

namespace Ovrin {

class TUserRuleTreeControl : public TRulesetElementTreeControl {
public:
    TUserRuleTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode rule,
                         std::string user);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    bool BeginLoad() override;
    bool CanSave() override;
    void SetValue(const std::string& key, const std::string& value) override;
    void EndSave() override;
    bool CanValidate() override;
    bool Validate(const std::string& key, const std::string& value) override;
    void OnSelect() override;

    // A rule with a rule node among its tree ancestors.
    bool IsSubordinate() const;

private:
    void BuildChildren();
    void ShowState();
    void AddMatch(size_t kind);
    void AddAction(size_t kind);
    void CreateRuleAfter();
};

// The controller for a match or action element under the rule's node (null for an unknown
// handler), placed at the index.
TTreeControl* NewRuleChild(QTreeWidget* tree, QTreeWidgetItem* ruleNode, int index, const TXmlNode& element,
                           const std::string& user);

}  // namespace Ovrin
