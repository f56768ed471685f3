// TUsersTreeControl: the "Users" node, one child per user directory of the mail store; it
// creates users from the mail store's .template directory.
#pragma once

#include "manager/tree_control.h"

namespace Ovrin {

class TUsersTreeControl : public TTreeControl {
public:
    TUsersTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent);

    TTreeControl* Recreate() override;
    std::string HelpSection() override { return "Users, accounts, mailboxes and messages"; }
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;

private:
    void CreateUser();
};

}  // namespace Ovrin
