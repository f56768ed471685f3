// TUserPlaceholderTreeControl: a user under "Users", only so that the user's ruleset can be
// reached until the user editor replaces it. A user is a directory of the mail store with a
// user.xml; its one child is the ruleset node "Rules".
#pragma once

#include "manager/tree_control.h"

namespace Ovrin {

class TUserPlaceholderTreeControl : public TTreeControl {
public:
    TUserPlaceholderTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user);
    TTreeControl* Recreate() override;

private:
    std::string user;
};

// One placeholder per user of the mail store (none while the mail directory is unknown).
void AddPlaceholderUsers(QTreeWidget* tree, QTreeWidgetItem* usersNode);

}  // namespace Ovrin
