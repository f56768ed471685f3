// TUsersTreeControl: the list of users and the creation of one from the template.
#include "manager/users_tree_control.h"

#include <cerrno>
#include <cstring>

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "common/file.h"
#include "manager/dialogs.h"
#include "manager/user_tree_control.h"

namespace Ovrin {

TUsersTreeControl::TUsersTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent)
    : TTreeControl(tree, node, "Users", parent) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DirHomeIcon));
    std::string mail = MailDirectory();
    if (mail.empty())
        return;  // the server has not been seen running yet
    for (const std::string& user : ListVisibleDirectories(mail))
        new TUserTreeControl(tree, nullptr, Node(), user);
}

TTreeControl* TUsersTreeControl::Recreate() { return new TUsersTreeControl(TreeView(), Node(), Node()->parent()); }

TStringArray TUsersTreeControl::PopupItems() { return {"Refresh", "Create new user"}; }

void TUsersTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Create new user")
        CreateUser();
    else
        TTreeControl::PopupCommand(caption);
}

void TUsersTreeControl::CreateUser() {
    std::string name = Dialogs().InputQuery("Creating new user", "New user name:");
    if (name.empty())
        return;
    if (!IsUserName(name))
        throw CMessageException("%s is not a valid user name, the name should only contain latin letters, digits or "
                                "underscores.", name.c_str());
    const std::string home = MailStore().UserDirectory(name);
    // Made in one step with the test, so two managers can never both take the name.
    if (!CFile::CreateDirectory(home)) {
        if (errno == EEXIST)
            throw CMessageException("User %s already exists.", name.c_str());
        throw CMessageException("Cannot create user's home directory: %s", std::strerror(errno));
    }
    // Everything a user needs comes from the template; only its top level is taken, so the
    // template's directories arrive empty.
    const std::string templateDirectory = MailStore().Root() + "/" + kTemplateDirectory;
    for (const std::string& file : ListFiles("*", templateDirectory))
        if (!CFile::CopyFile(templateDirectory + "/" + file, home + "/" + file))
            throw CMessageException("Cannot copy file %s to user's home directory.", file.c_str());
    for (const std::string& directory : ListDirectories("*", templateDirectory))
        if (!CFile::CreateDirectory(home + "/" + directory))
            throw CMessageException("Cannot create directory %s: %s", (home + "/" + directory).c_str(), std::strerror(errno));
    RefreshAndSelectChild(QString::fromStdString(name));
}

}  // namespace Ovrin
