// TUserMailboxTreeControl: a mailbox's icon, re-filtering, emptying and removal, under the
// mailbox's lock.
#include "manager/user_mailbox_tree_control.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "common/file.h"
#include "common/format.h"
#include "common/text.h"
#include "manager/dialogs.h"
#include "manager/server_locks.h"
#include "manager/user_message_tree_control.h"
#include "store/mailbox_lock.h"

namespace Ovrin {

namespace {

// The mailbox's lock, or the word that a POP3 session of the server holds it.
CMailboxLock LockMailbox(const std::string& directory) {
    try {
        return CMailboxLock(directory);
    } catch (const CMessageException&) {
        throw CMessageException("The mailbox is busy, the server is accessing it at this moment.");
    }
}

}  // namespace

TUserMailboxTreeControl::TUserMailboxTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                 std::string user, std::string mailbox)
    : TTreeControl(tree, node, QString::fromStdString(mailbox), parent), user(std::move(user)), mailbox(std::move(mailbox)) {
    ShowState();
}

void TUserMailboxTreeControl::ShowState() {
    bool full = !ListMessageFiles(Directory()).empty();
    bool spam = this->mailbox == kSpamMailbox;
    QStyle* style = QApplication::style();
    SetIcon(style->standardIcon(spam ? (full ? QStyle::SP_MessageBoxWarning : QStyle::SP_TrashIcon)
                                     : (full ? QStyle::SP_DialogOpenButton : QStyle::SP_DirClosedIcon)));
    Node()->setChildIndicatorPolicy(full ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicator);
}

void TUserMailboxTreeControl::FollowDirectory() {
    if (Node()->childCount() == 0)
        return ShowState();
    // The message node is not shown: made afresh, it counts anew and sets this node's state.
    if (auto* messages = dynamic_cast<TUserMessageTreeControl*>(Of(Node()->child(0))); messages && messages->IsStale())
        messages->Recreate();
    else
        ShowState();
}

TTreeControl* TUserMailboxTreeControl::Recreate() {
    return new TUserMailboxTreeControl(TreeView(), Node(), Node()->parent(), user, mailbox);
}

std::string TUserMailboxTreeControl::Directory() const { return MailStore().UserPath(user, mailbox); }

TStringArray TUserMailboxTreeControl::PopupItems() { return {"Refresh", "Re-filter", "Empty", "Delete"}; }

void TUserMailboxTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Re-filter")
        Refilter();
    else if (caption == "Empty")
        Empty();
    else if (caption == "Delete")
        Delete();
    else
        TTreeControl::PopupCommand(caption);
}

void TUserMailboxTreeControl::OnSelect() {
    if (Node()->childCount() == 0)
        new TUserMessageTreeControl(TreeView(), nullptr, Node(), user, mailbox);
}

bool TUserMailboxTreeControl::CanExpand() { return !ListMessageFiles(Directory()).empty(); }

TStringArray TUserMailboxTreeControl::MessagesUnderLock(CMailboxLock& lock, const char* emptyNote) {
    TStringArray names = ListMessageFiles(Directory());
    if (names.empty()) {
        lock.Release();
        Dialogs().Information(emptyNote);
    }
    return names;
}

void TUserMailboxTreeControl::Refilter() {
    CMailboxLock lock = LockMailbox(Directory());
    const TStringArray names = MessagesUnderLock(lock, "The mailbox is empty, no messages to re-filter.");
    if (names.empty())
        return;
    for (const std::string& name : names) {
        const std::string path = Directory() + "/" + name;
        // The server files spooled messages again by the rules as they are now.
        if (!CFile::MoveFile(path, MailStore().UserPath(user, kSpoolDirectory) + "/" + name))
            throw CMessageException("Unable to move message file %s to the spool directory", path.c_str());
    }
    lock.Release();
    Dialogs().Information(Format("%d message(s) have been spooled for later re-filtering.", static_cast<int>(names.size())));
    Refresh();  // this controller is gone from here on
}

void TUserMailboxTreeControl::Empty() {
    // Asked before the lock is taken: the server's POP3 sessions must not wait on a person.
    const TStringArray names = ListMessageFiles(Directory());
    if (names.empty()) {
        Dialogs().Information("The mailbox is already empty.");
        return;
    }
    if (!Dialogs().Question(Format("Are you sure you want to delete %d message(s) ?", static_cast<int>(names.size()))))
        return;
    CMailboxLock lock = LockMailbox(Directory());
    int deleted = 0;
    // Only the messages asked about; one that a mail client took meanwhile is gone already.
    for (const std::string& name : names) {
        const std::string path = Directory() + "/" + name;
        std::error_code missing;
        if (!std::filesystem::exists(path, missing))
            continue;
        if (!CFile::DeleteFile(path))
            throw CMessageException("Unable to delete file %s", path.c_str());
        ++deleted;
    }
    lock.Release();
    Dialogs().Information(Format("%d message(s) have been deleted.", deleted));
    Refresh();  // this controller is gone from here on
}

void TUserMailboxTreeControl::Delete() {
    if (mailbox == kDefaultMailbox || mailbox == kSpamMailbox)
        throw CMessageException("\"%s\" is a special mailbox and may not be deleted.", mailbox.c_str());
    if (!Dialogs().Question(Format("Are you sure you want to remove mailbox \"%s\" ?", mailbox.c_str())))
        return;
    // Taken only after the answer: no rule may dispatch to it and no mail work of the user run
    // while it goes, but no login of the user waits on a person either.
    TUserAndRulesetLock locks(user);
    if (!ListFiles("*", Directory()).empty()) {
        locks.Release();
        throw CMessageException("Mailbox \"%s\" cannot be deleted because it contains messages or other files.",
                                mailbox.c_str());
    }
    if (!CFile::RemoveDirectory(Directory()))
        throw CMessageException("Mailbox \"%s\" cannot be deleted: %s", mailbox.c_str(), std::strerror(errno));
    // The mailbox is gone whatever the unlock says: its node goes too, then the unlock's error.
    std::exception_ptr unlockFailure;
    try {
        locks.Release();
    } catch (...) {
        unlockFailure = std::current_exception();
    }
    TTreeControl::PopupCommand("Delete");  // frees this controller and its node
    if (unlockFailure)
        std::rethrow_exception(unlockFailure);
}

}  // namespace Ovrin
