// TUserMailboxesTreeControl: a user's "Mailboxes" node, one child per mailbox directory; it
// creates mailboxes.
#pragma once

#include <string>

#include "manager/tree_control.h"

namespace Ovrin {

class TUserMailboxesTreeControl : public TTreeControl {
public:
    TUserMailboxesTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    // Nothing here is written by a save.
    bool Commit() override;

private:
    void CreateMailbox();

    std::string user;
};

}  // namespace Ovrin
