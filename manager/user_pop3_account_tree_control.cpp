// TUserPOP3AccountTreeControl: an account's values in the user's document.
#include "manager/user_pop3_account_tree_control.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include <netdb.h>

#include "common/exception.h"
#include "common/text.h"
#include "manager/user_panels.h"

namespace Ovrin {

namespace {

constexpr const char* kPasswordKey = "@password";

// Refused here, not by every collection later, each of which would log its failure.
void CheckAddress(const std::string& key, const std::string& value) {
    if (key == "@hostname" &&
        (value.empty() || value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_:[]") !=
                              std::string::npos))
        throw CMessageException("\"%s\" is not a host name or IP address.", value.c_str());
    if (key != "@port")
        return;
    bool number = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
    if (number ? std::stoi(value) < 1 || std::stoi(value) > 65535 : !getservbyname(value.c_str(), "tcp"))
        throw CMessageException("The port \"%s\" is neither a number from 1 to 65535 nor a known service name.",
                                value.c_str());
}

}  // namespace

TUserPOP3AccountTreeControl::TUserPOP3AccountTreeControl(QTreeWidget* tree, QTreeWidgetItem* node,
                                                         QTreeWidgetItem* parent, TXmlNode account)
    : TTreeControl(tree, node, "", parent), account(std::move(account)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
    ShowCaption();
}

TTreeControl* TUserPOP3AccountTreeControl::Recreate() {
    return new TUserPOP3AccountTreeControl(TreeView(), Node(), Node()->parent(), account);
}

void TUserPOP3AccountTreeControl::ShowCaption() {
    auto text = [this](const char* key) {
        TXmlNode attribute = account.SelectSingleNode(key);
        return attribute ? attribute.Text() : "";
    };
    std::string caption = text("@username") + "@" + text("@hostname") + ":" + text("@port");
    Node()->setText(0, QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
}

TStringArray TUserPOP3AccountTreeControl::PopupItems() { return {"Refresh", "Delete"}; }

void TUserPOP3AccountTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Delete")
        if (TXmlNode accounts = account.ParentNode())
            accounts.RemoveChild(account);
    TTreeControl::PopupCommand(caption);  // frees this controller on "Delete"
}

QWidget* TUserPOP3AccountTreeControl::Panel() { return FormPanel("pnlPop3Account", BuildPop3AccountPanel); }
bool TUserPOP3AccountTreeControl::BeginLoad() { return true; }
bool TUserPOP3AccountTreeControl::CanSave() { return true; }

std::string TUserPOP3AccountTreeControl::GetValue(const std::string& key) {
    if (key.empty())
        return "";
    if (key == kPasswordKey)
        return kPasswordPlaceholder;
    TXmlNode attribute = account.SelectSingleNode(key);
    return attribute ? attribute.Text() : "";
}

void TUserPOP3AccountTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key.empty() || key[0] != '@')
        return;
    CheckAddress(key, value);
    // An account without the attribute lets its port decide, collects and deletes, keeps for
    // good: the default is written as no attribute.
    if ((key == kPop3SecurityKey && value.empty()) || (key == kPop3LeaveKey && value == "false") ||
        (key == kPop3LeaveDaysKey && value.empty())) {
        account.RemoveNamedItem(key.substr(1));
        return;
    }
    std::string text = value;
    if (key == kPasswordKey) {
        if (value == kPasswordPlaceholder)
            return;
        text = EncodeBASE64(value);
    }
    TXmlNode attribute = account.SelectSingleNode(key);
    if (!attribute) {
        attribute = account.OwnerDocument().CreateAttribute(key.substr(1));
        account.SetNamedItem(attribute);
    }
    attribute.SetText(text);
}

void TUserPOP3AccountTreeControl::EndSave() { ShowCaption(); }

}  // namespace Ovrin
