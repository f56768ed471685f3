// TMailboxMessagesPanel (pnlMailboxMessages): the list of a mailbox's messages (From, Subject,
// Date and Size from each header, sortable, newest first) with "Move+Train", "Delete" and
// "Select all" for the selected rows, the target mailbox menu, and the preview of the current
// message. The message node that shows the panel owns it meanwhile and gets the
// commands; the list, the buttons' state and the preview are the panel's own.
#pragma once

#include <string>

#include <QWidget>

#include "manager/globals.h"

class QLabel;
class QTreeWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace Ovrin {

class TMailboxMessagesPanel : public QWidget {
    Q_OBJECT

public:
    // The node showing the panel: the commands act on the selected file names in list order.
    class TOwner {
    public:
        virtual ~TOwner() = default;
        virtual void DeleteMessages(const TStringArray& names) = 0;
        virtual void MoveAndTrain(const TStringArray& names, const std::string& target) = 0;
    };

    explicit TMailboxMessagesPanel(QWidget* parent);

    // Lists the names, remembers the directory, rebuilds the target menu with the mailboxes
    // (the current one disabled), clears the preview and sets the buttons.
    void ShowMessages(TOwner* owner, const std::string& directory, const TStringArray& names,
                      const TStringArray& mailboxes, const std::string& current);
    // The owner goes: the panel no longer hands it commands.
    void Forget(const TOwner* owner);

    TStringArray SelectedNames() const;
    void SelectAll();
    // Shows the message file of the mailbox directory: its From, To and Subject and its body.
    void Preview(const std::string& name);

    enum TColumn { kFrom, kSubject, kDate, kSize };
    QTreeWidget* lbMailboxMessages;
    QPushButton* btnMoveTrain;
    QPushButton* btnDeleteMessages;
    QPushButton* btnSelectAll;
    QMenu* mnuMailboxTargets;
    QLabel* lblFrom;
    QLabel* lblTo;
    QLabel* lblSubject;
    QPlainTextEdit* memoMailboxMessage;

private:
    void ClearPreview();
    void UpdateButtons();

    TOwner* owner = nullptr;
    std::string directory;
};

QWidget* BuildMailboxMessagesPanel(QWidget* holder);

}  // namespace Ovrin
