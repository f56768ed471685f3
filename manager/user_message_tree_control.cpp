// TUserMessageTreeControl: a mailbox's message list, its deletions and its moves for training.
#include "manager/user_message_tree_control.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/file.h"
#include "common/format.h"
#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/user_mailbox_tree_control.h"

namespace Ovrin {

TUserMessageTreeControl::TUserMessageTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                 std::string user, std::string mailbox)
    : TTreeControl(tree, node, "", parent),
      user(std::move(user)),
      mailbox(std::move(mailbox)),
      names(ListMessageFiles(MailStore().UserPath(this->user, this->mailbox))) {
    Node()->setText(0, QString::fromStdString(Format("%d message(s)", static_cast<int>(names.size()))));
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_FileDialogContentsView));
    // Made afresh after every command that changes the mailbox: the mailbox shows it too.
    if (auto* mailboxNode = dynamic_cast<TUserMailboxTreeControl*>(ParentControl()))
        mailboxNode->ShowState();
}

TUserMessageTreeControl::~TUserMessageTreeControl() {
    if (shownIn)
        shownIn->Forget(this);
}

TTreeControl* TUserMessageTreeControl::Recreate() {
    return new TUserMessageTreeControl(TreeView(), Node(), Node()->parent(), user, mailbox);
}

QWidget* TUserMessageTreeControl::Panel() { return FormPanel("pnlMailboxMessages", BuildMailboxMessagesPanel); }

bool TUserMessageTreeControl::BeginLoad() {
    shownIn = static_cast<TMailboxMessagesPanel*>(Panel());
    shownIn->ShowMessages(this, MailStore().UserPath(user, mailbox), names, ListVisibleDirectories(MailStore().UserDirectory(user)), mailbox);
    return false;  // nothing bound: the list is the panel's
}

bool TUserMessageTreeControl::IsStale() const { return ListMessageFiles(MailStore().UserPath(user, mailbox)) != names; }

void TUserMessageTreeControl::FollowDirectory() {
    if (IsStale())
        Refresh();  // this controller is gone from here on
}

void TUserMessageTreeControl::DeleteMessages(const TStringArray& checked) {
    if (!Dialogs().Question(
            Format("Are you sure you want to physically remove the selected %d message file(s) ?", static_cast<int>(checked.size()))))
        return;
    int removed = 0;
    for (const std::string& name : checked) {
        const std::string path = MailStore().UserPath(user, mailbox) + "/" + name;
        if (CFile::DeleteFile(path))
            ++removed;
        else
            Dialogs().Error(Format("Unable to delete file %s", path.c_str()));
    }
    Dialogs().Information(Format("%d message file(s) have been removed", removed));
    Refresh();  // this controller is gone from here on
}

void TUserMessageTreeControl::MoveAndTrain(const TStringArray& checked, const std::string& target) {
    if (!Dialogs().Question(Format("Are you sure you want to move the %d selected message(s) to a \"%s\" mailbox, "
                                   "retraining the ruleset accordingly ?",
                                   static_cast<int>(checked.size()), target.c_str())))
        return;
    int moved = 0;
    for (const std::string& name : checked) {
        // The notice first: a file in the spool without it would be filed, not trained.
        if (!SendCommand("train file " + name + " " + target)) {
            Dialogs().Error("Unable to send training notification to the server");
            continue;
        }
        const std::string path = MailStore().UserPath(user, mailbox) + "/" + name;
        if (CFile::MoveFile(path, MailStore().UserPath(user, kSpoolDirectory) + "/" + name))
            ++moved;
        else
            Dialogs().Error(Format("Unable to move file %s to the spool directory", path.c_str()));
    }
    Dialogs().Information(
        Format("%d message file(s) have been spooled for later re-training to a \"%s\" mailbox", moved, target.c_str()));
    Refresh();  // this controller is gone from here on
}

}  // namespace Ovrin
