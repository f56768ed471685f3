// TUserMailboxesTreeControl: the list of a user's mailboxes and the creation of one.
#include "manager/user_mailboxes_tree_control.h"

#include <cerrno>
#include <cstring>

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "common/file.h"
#include "manager/dialogs.h"
#include "manager/user_mailbox_tree_control.h"
#include "manager/user_panels.h"

namespace Ovrin {

TUserMailboxesTreeControl::TUserMailboxesTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                     std::string user)
    : TTreeControl(tree, node, "Mailboxes", parent), user(std::move(user)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon));
    for (const std::string& mailbox : ListVisibleDirectories(MailStore().UserDirectory(this->user)))
        new TUserMailboxTreeControl(tree, nullptr, Node(), this->user, mailbox);
}

TTreeControl* TUserMailboxesTreeControl::Recreate() {
    return new TUserMailboxesTreeControl(TreeView(), Node(), Node()->parent(), user);
}

TStringArray TUserMailboxesTreeControl::PopupItems() { return {"Refresh", "Create new mailbox"}; }

void TUserMailboxesTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Create new mailbox")
        CreateMailbox();
    else
        TTreeControl::PopupCommand(caption);
}

QWidget* TUserMailboxesTreeControl::Panel() { return FormPanel("pnlMailboxes", BuildMailboxesPanel); }

bool TUserMailboxesTreeControl::Commit() { return true; }

void TUserMailboxesTreeControl::CreateMailbox() {
    std::string name = Dialogs().InputQuery("Creating new mailbox", "New mailbox name for user " + user + ":");
    if (name.empty())
        return;
    if (!IsMailboxName(name))
        throw CMessageException("%s is not a valid mailbox name, the name should only contain latin letters, digits "
                                "or underscores.", name.c_str());
    if (!CFile::CreateDirectory(MailStore().UserPath(user, name)))
        throw CMessageException("Cannot create mailbox: %s", std::strerror(errno));
    RefreshAndSelectChild(QString::fromStdString(name));
}

}  // namespace Ovrin
