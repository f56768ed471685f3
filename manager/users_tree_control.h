// TUsersTreeControl: the "Users" node. Until the user editor lands it has no panel of its own.
#pragma once

#include "manager/tree_control.h"

namespace Ovrin {

class TUsersTreeControl : public TTreeControl {
public:
    TUsersTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
};

}  // namespace Ovrin
