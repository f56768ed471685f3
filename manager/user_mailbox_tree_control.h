// TUserMailboxTreeControl: one mailbox of a user. Its icon tells whether it holds messages and
// whether it is "spam"; selecting it adds the message list node. It re-filters and empties the
// mailbox under the mailbox's .lock, and deletes an empty mailbox under the user and ruleset
// locks.
#pragma once

#include <string>

#include "manager/tree_control.h"

namespace Ovrin {

class CMailboxLock;

class TUserMailboxTreeControl : public TTreeControl {
public:
    TUserMailboxTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user,
                            std::string mailbox);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    void OnSelect() override;
    // Only while the mailbox holds a message file.
    bool CanExpand() override;
    // The icon and expand arrow for what the mailbox holds now.
    void ShowState();
    void FollowDirectory() override;

private:
    std::string Directory() const;
    // The message files, listed once the mailbox is locked; none gives the lock back and tells so.
    TStringArray MessagesUnderLock(CMailboxLock& lock, const char* emptyNote);
    void Refilter();
    void Empty();
    void Delete();

    std::string user;
    std::string mailbox;
};

}  // namespace Ovrin
