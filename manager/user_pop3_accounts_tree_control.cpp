// TUserPOP3AccountsTreeControl: the list of a user's accounts and the creation of one.
#include "manager/user_pop3_accounts_tree_control.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "manager/template.h"
#include "manager/user_panels.h"
#include "manager/user_pop3_account_tree_control.h"

namespace Ovrin {

TUserPOP3AccountsTreeControl::TUserPOP3AccountsTreeControl(QTreeWidget* tree, QTreeWidgetItem* node,
                                                           QTreeWidgetItem* parent, TXmlNode accounts, std::string user)
    : TTreeControl(tree, node, "Accounts", parent), accounts(std::move(accounts)), user(std::move(user)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon));
    for (const TXmlNode& account : this->accounts.SelectNodes("pop3-client"))
        new TUserPOP3AccountTreeControl(tree, nullptr, Node(), account);
}

TTreeControl* TUserPOP3AccountsTreeControl::Recreate() {
    return new TUserPOP3AccountsTreeControl(TreeView(), Node(), Node()->parent(), accounts, user);
}

TStringArray TUserPOP3AccountsTreeControl::PopupItems() { return {"Refresh", "Create new account"}; }

void TUserPOP3AccountsTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Create new account")
        CreateAccount();
    else
        TTreeControl::PopupCommand(caption);
}

QWidget* TUserPOP3AccountsTreeControl::Panel() { return FormPanel("pnlPop3Accounts", BuildPop3AccountsPanel); }
bool TUserPOP3AccountsTreeControl::CanSave() { return true; }

void TUserPOP3AccountsTreeControl::CreateAccount() {
    // In the document in memory; the next "Save changes" writes it.
    ApplyTemplate(accounts, "pop3-client/@hostname=server.address/@port=110/@username=user_name/@password=");
    QTreeWidget* tree = TreeView();
    QTreeWidgetItem* node = RefreshAndExpand()->Node();  // this controller is gone from here on
    if (node->childCount() > 0)
        tree->setCurrentItem(node->child(node->childCount() - 1));
}

}  // namespace Ovrin
