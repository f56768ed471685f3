// TUserPOP3AccountsTreeControl: a user's "Accounts" node. It holds the pop3-clients element of
// the user's document, one child per account, and creates accounts in that document; a save
// here writes the user's file.
#pragma once

#include <string>

#include "manager/document.h"
#include "manager/tree_control.h"

namespace Ovrin {

class TUserPOP3AccountsTreeControl : public TTreeControl {
public:
    TUserPOP3AccountsTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode accounts,
                                 std::string user);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    bool CanSave() override;

private:
    void CreateAccount();

    TXmlNode accounts;
    std::string user;
};

}  // namespace Ovrin
