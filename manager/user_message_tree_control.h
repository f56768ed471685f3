// TUserMessageTreeControl: the "%d message(s)" node below a mailbox. It holds the names of the
// mailbox's message files as they were when it was made, shows them in pnlMailboxMessages, and
// deletes checked messages or moves them to the spool with a training notice for the server.
#pragma once

#include <string>

#include <QPointer>

#include "manager/mailbox_messages_panel.h"
#include "manager/tree_control.h"

namespace Ovrin {

class TUserMessageTreeControl : public TTreeControl, public TMailboxMessagesPanel::TOwner {
public:
    TUserMessageTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user,
                            std::string mailbox);
    ~TUserMessageTreeControl() override;

    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool BeginLoad() override;

    // The mailbox holds other files than those listed.
    bool IsStale() const;
    void FollowDirectory() override;
    void DeleteMessages(const TStringArray& names) override;
    void MoveAndTrain(const TStringArray& names, const std::string& target) override;

private:
    std::string user;
    std::string mailbox;
    TStringArray names;
    QPointer<TMailboxMessagesPanel> shownIn;  // told when this node goes
};

}  // namespace Ovrin
