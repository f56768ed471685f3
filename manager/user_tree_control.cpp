// TUserTreeControl: reading and writing a user's user.xml, its values and its password.
#include "manager/user_tree_control.h"

#include <set>

#include <QApplication>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>

#include "common/exception.h"
#include "common/password_hash.h"
#include "common/text.h"
#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/document.h"
#include "manager/edited_file.h"
#include "manager/ruleset_tree_control.h"
#include "manager/server_locks.h"
#include "manager/template.h"
#include "manager/user_mailboxes_tree_control.h"
#include "manager/user_panels.h"
#include "manager/user_pop3_accounts_tree_control.h"
#include "store/collected_record.h"

namespace Ovrin {

namespace {

QTableWidget* Parameters(QWidget* panel) { return panel->findChild<QTableWidget*>("kveUserOptions"); }
QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string Cell(QTableWidget* table, int row, int column) {
    QTableWidgetItem* item = table->item(row, column);
    return item ? item->text().toUtf8().toStdString() : "";
}

// A slash inside a template step's value is written as backslash and slash. A backslash at the
// end would pair with the next step's separator, so a blank follows it, which the step loses
// when it is trimmed.
std::string TemplateValue(const std::string& text) {
    std::string value = Replace(text, "/", "\\/");
    return !value.empty() && value.back() == '\\' ? value + " " : value;
}

}  // namespace

TUserTreeControl::TUserTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user)
    : TTreeControl(tree, node, Q(user), parent), user(std::move(user)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_DesktopIcon));
}

TUserTreeControl::~TUserTreeControl() = default;

TTreeControl* TUserTreeControl::Recreate() { return new TUserTreeControl(TreeView(), Node(), Node()->parent(), user); }

std::string TUserTreeControl::ConfigPath() const { return MailStore().UserPath(user, kUserFile); }

TStringArray TUserTreeControl::PopupItems() { return {"Refresh", "Check mail now"}; }

void TUserTreeControl::PopupCommand(const std::string& caption) {
    if (caption != "Check mail now")
        return TTreeControl::PopupCommand(caption);
    if (!SendCommand("check user " + user))
        throw CMessageException("Failed to initiate mail check for user \"%s\"", user.c_str());
    Dialogs().Information(Format("Mail collection for user \"%s\" has been started.", user.c_str()));
}

void TUserTreeControl::OnSelect() {
    if (!file)
        Load();
}

void TUserTreeControl::Load() {
    // The lock is held only while the file is read; a failed read gives it back quietly, so the
    // read's error is the one shown.
    TUserLock lock(user);
    auto fresh = std::make_unique<TEditedFile>(ConfigPath());
    if (!fresh->Load() || !fresh->Document().SelectSingleNode("/user"))
        throw CMessageException("Unable to read configuration file from %s", ConfigPath().c_str());
    lock.Release();
    file = std::move(fresh);
    // A file without the accounts element gets one in memory, so accounts can be added.
    TXmlNode accounts = ApplyTemplate(file->Document().SelectSingleNode("/user"), "!pop3-clients");
    new TUserPOP3AccountsTreeControl(TreeView(), nullptr, Node(), accounts, user);
    new TUserRulesetTreeControl(TreeView(), nullptr, Node(), user);
    new TUserMailboxesTreeControl(TreeView(), nullptr, Node(), user);
}

QWidget* TUserTreeControl::Panel() { return FormPanel("pnlUserOptions", BuildUserOptionsPanel); }
bool TUserTreeControl::BeginLoad() { return true; }
bool TUserTreeControl::CanSave() { return true; }

std::string TUserTreeControl::GetValue(const std::string& key) {
    if (key == kAuthenticationKey)
        return HasPassword() ? kPasswordPlaceholder : "";
    if (!key.empty() || !file)
        return "";
    QTableWidget* parameters = Parameters(Panel());
    parameters->setRowCount(0);
    for (const TXmlNode& param : file->Document().SelectNodes("/user/params/param")) {
        int row = parameters->rowCount();
        parameters->insertRow(row);
        TXmlNode name = param.SelectSingleNode("@name"), value = param.SelectSingleNode("@value");
        parameters->setItem(row, 0, new QTableWidgetItem(Q(name ? name.Text() : "")));
        parameters->setItem(row, 1, new QTableWidgetItem(Q(value ? value.Text() : "")));
    }
    return "";
}

void TUserTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (!file)
        throw CMessageException("Unable to read configuration file from %s", ConfigPath().c_str());
    if (key.empty())
        SetParameters();
    else if (key == kAuthenticationKey && value != kPasswordPlaceholder && (HasPassword() || !value.empty()))
        SetPassword(value);
}

void TUserTreeControl::SetParameters() {
    QTableWidget* parameters = Parameters(Panel());
    // The params element found or made, emptied, and given one param per row in order.
    std::string steps = "!params/-";
    std::set<std::string> names;
    for (int row = 0; row < parameters->rowCount(); ++row) {
        std::string name = Trim(Cell(parameters, row, 0));
        if (name.empty() && !Trim(Cell(parameters, row, 1)).empty())
            throw CMessageException("The user parameter in row %d has a value but no name.", row + 1);
        if (name.empty())
            continue;  // a row never filled in names no parameter
        if (!names.insert(name).second)
            throw CMessageException("The user parameter %s is given more than once.", name.c_str());
        steps += "/param/@name=" + TemplateValue(name) + "/@value=" + TemplateValue(Cell(parameters, row, 1)) + "/..";
    }
    ApplyTemplate(file->Document().SelectSingleNode("/user"), steps);
}

// The bullets stand for a stored password only: a new user has none to show.
bool TUserTreeControl::HasPassword() const {
    TXmlNode authentication = file->Document().SelectSingleNode("/user/pop3-server/authentication");
    if (!authentication)
        return false;
    for (const char* stored : {"@hash", "@password"})
        if (TXmlNode value = authentication.SelectSingleNode(stored); value && !value.Text().empty())
            return true;
    return false;
}

void TUserTreeControl::SetPassword(const std::string& password) {
    // Refused here for the same reason the server would refuse it at login.
    const std::string problem = PasswordProblem(password);
    if (!problem.empty())
        throw CMessageException("%s, the POP3 server would not accept it.", problem.c_str());
    TXmlNode authentication = ApplyTemplate(file->Document().SelectSingleNode("/user"),
                                            "!pop3-server/!authentication/@handler=hash/@method=crypt/@hash=" +
                                                TemplateValue(CryptHash(password)));
    // Neither a password in clear from a plaintext handler nor an old salt outlives the change.
    authentication.RemoveNamedItem("password");
    authentication.RemoveNamedItem("salt");
}

bool TUserTreeControl::Commit() {
    if (!file)
        return false;
    TUserLock lock(user);
    // What was collected from an account the user no longer has must not hold back the mail of
    // an account added later under the same name; done under the same lock as the save.
    auto forgetGoneAccounts = [this](const TXmlDocument& saved) {
        std::set<std::string> accounts;
        for (const TXmlNode& account : saved.SelectNodes("/user/pop3-clients/pop3-client")) {
            auto text = [&](const char* key) {
                TXmlNode attribute = account.SelectSingleNode(key);
                return attribute ? attribute.Text() : "";
            };
            accounts.insert(CCollectedRecord::FileName(text("@hostname"), text("@port"), text("@username")));
        }
        CCollectedRecord::RemoveOthers(MailStore(), user, accounts);
    };
    if (!file->SaveUnder(lock, forgetGoneAccounts, [this] { RefreshAndExpand(); }))
        return false;  // this controller is gone after a reload
    return TTreeControl::Commit();
}

}  // namespace Ovrin
