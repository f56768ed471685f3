#include "manager/users_tree_control.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "manager/user_placeholder_tree_control.h"

namespace Ovrin {

TUsersTreeControl::TUsersTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent)
    : TTreeControl(tree, node, "Users", parent) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DirHomeIcon));
    AddPlaceholderUsers(tree, Node());  // until the user editor lands
}

TTreeControl* TUsersTreeControl::Recreate() { return new TUsersTreeControl(TreeView(), Node(), Node()->parent()); }

TStringArray TUsersTreeControl::PopupItems() { return {"Refresh"}; }

}  // namespace Ovrin
