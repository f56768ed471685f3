#include "manager/user_placeholder_tree_control.h"

#include <algorithm>

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/file.h"
#include "manager/globals.h"
#include "manager/ruleset_element_tree_control.h"
#include "manager/ruleset_tree_control.h"

namespace Ovrin {

TUserPlaceholderTreeControl::TUserPlaceholderTreeControl(QTreeWidget* tree, QTreeWidgetItem* node,
                                                         QTreeWidgetItem* parent, std::string user)
    : TTreeControl(tree, node, QText(user), parent), user(std::move(user)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DirHomeIcon));
    new TUserRulesetTreeControl(tree, nullptr, Node(), this->user);
}

TTreeControl* TUserPlaceholderTreeControl::Recreate() {
    return new TUserPlaceholderTreeControl(TreeView(), Node(), Node()->parent(), user);
}

void AddPlaceholderUsers(QTreeWidget* tree, QTreeWidgetItem* usersNode) {
    std::string mail = MailDirectory();
    if (mail.empty())
        return;
    TStringArray users = ListDirectories("*", mail);
    std::sort(users.begin(), users.end());
    for (const std::string& user : users)
        if (user[0] != '.' && !CFile::EnumerateFiles(mail + "/" + user, "user.xml")->empty())
            new TUserPlaceholderTreeControl(tree, nullptr, usersNode, user);
}

}  // namespace Ovrin
