// TAboutTreeControl: the "About" node with the product, the server's version and the credits.
#pragma once

#include "manager/tree_control.h"

namespace Ovrin {

class TAboutTreeControl : public TTreeControl {
public:
    TAboutTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent);

    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool BeginLoad() override;
    std::string GetValue(const std::string& key) override;
};

}  // namespace Ovrin
