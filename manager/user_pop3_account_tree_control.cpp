// TUserPOP3AccountTreeControl: an account's values in the user's document.
#include "manager/user_pop3_account_tree_control.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include <netdb.h>

#include "common/exception.h"
#include "common/oauth_client.h"
#include "common/text.h"
#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/oauth_device_flow.h"
#include "manager/user_panels.h"

namespace Ovrin {

namespace {

constexpr const char* kPasswordKey = "@password";
constexpr const char* kClientSecretKey = "@client-secret";
constexpr const char* kAuthorize = "Authorize...";

bool IsSecret(const std::string& key) { return key == kPasswordKey || key == kClientSecretKey; }

std::string FieldText(QWidget* panel, const char* name) {
    auto* edit = panel->findChild<QLineEdit*>(name);
    return edit ? Trim(edit->text().toStdString()) : std::string();
}

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

TStringArray TUserPOP3AccountTreeControl::PopupItems() { return {"Refresh", kAuthorize, "Delete"}; }

void TUserPOP3AccountTreeControl::PopupCommand(const std::string& caption) {
    if (caption == kAuthorize) {
        Guarded([this] { Authorize(); });
        return;
    }
    if (caption == "Delete")
        if (TXmlNode accounts = account.ParentNode())
            accounts.RemoveChild(account);
    TTreeControl::PopupCommand(caption);  // frees this controller on "Delete"
}

QWidget* TUserPOP3AccountTreeControl::Panel() {
    QWidget* panel = FormPanel("pnlPop3Account", BuildPop3AccountPanel);
    // The panel serves every account: its button acts on the one selected.
    auto* button = panel->findChild<QPushButton*>("btnOAuthAuthorize");
    if (button && !button->property("wired").toBool()) {
        button->setProperty("wired", true);
        QTreeWidget* tree = TreeView();
        QObject::connect(button, &QPushButton::clicked, button, [tree] {
            if (TTreeControl* control = TTreeControl::Of(tree->currentItem()))
                control->PopupCommand(kAuthorize);
        });
    }
    if (auto* status = panel->findChild<QLabel*>("lblOAuthStatus"))
        status->clear();
    return panel;
}

void TUserPOP3AccountTreeControl::Authorize() {
    QWidget* panel = Panel();
    auto* auth = panel->findChild<QComboBox*>("cmbPOP3Auth");
    const std::string mechanism = auth ? auth->currentData().toString().toStdString() : "";
    if (mechanism != "xoauth2" && mechanism != "oauthbearer")
        throw CMessageException("Choose XOAUTH2 or OAUTHBEARER as the authentication before authorizing");
    TOAuthDeviceFlow::TRequest request;
    request.deviceUrl = FieldText(panel, "edtOAuthDeviceURL");
    request.tokenUrl = FieldText(panel, "edtOAuthTokenURL");
    request.scope = FieldText(panel, "edtOAuthScope");
    request.clientId = FieldText(panel, "edtOAuthClientId");
    request.clientSecret = FieldText(panel, "edtOAuthClientSecret");
    if (request.clientSecret == kPasswordPlaceholder) {
        TXmlNode stored = account.SelectSingleNode(kClientSecretKey);
        request.clientSecret = stored ? DecodeBASE64(stored.Text()) : "";
    }
    if (!IsHTTPSAddress(request.deviceUrl) || !IsHTTPSAddress(request.tokenUrl))
        throw CMessageException("The device authorization and token endpoints must be https addresses");
    if (request.clientId.empty())
        throw CMessageException("The provider's client id is needed to authorize the account");
    // The server's own extra CA, so that the manager trusts what the server will trust.
    std::string ca;
    if (SendCommand("get config tls-ca-file", &ca))
        request.caFile = Trim(ca);
    auto* flow = panel->findChild<TOAuthDeviceFlow*>("oauthDeviceFlow");
    auto* status = panel->findChild<QLabel*>("lblOAuthStatus");
    QObject::disconnect(flow, nullptr, nullptr, nullptr);
    QObject::connect(flow, &TOAuthDeviceFlow::Prompted, status, [status](const QString& uri, const QString& code) {
        status->setText(QString("Open %1 and enter the code %2; waiting for the authorization...").arg(uri, code));
    });
    TXmlNode target = account;
    QObject::connect(flow, &TOAuthDeviceFlow::Granted, status, [status, target](const QString& token) mutable {
        TXmlNode attribute = target.SelectSingleNode(kRefreshTokenKey);
        if (!attribute) {
            attribute = target.OwnerDocument().CreateAttribute(std::string(kRefreshTokenKey).substr(1));
            target.SetNamedItem(attribute);
        }
        attribute.SetText(EncodeBASE64(token.toStdString()));
        status->setText("Authorized. \"Save changes\" keeps the authorization with the account.");
    });
    QObject::connect(flow, &TOAuthDeviceFlow::Failed, status, [status](const QString& reason) {
        status->setText("Authorization failed: " + reason);
    });
    if (!flow->Start(request))
        throw CMessageException("An authorization is already under way");
    status->setText("Asking the provider for a code...");
}
bool TUserPOP3AccountTreeControl::BeginLoad() { return true; }
bool TUserPOP3AccountTreeControl::CanSave() { return true; }

std::string TUserPOP3AccountTreeControl::GetValue(const std::string& key) {
    if (key.empty())
        return "";
    TXmlNode attribute = account.SelectSingleNode(key);
    // A stored secret is never shown; the password always looks set, as it always has.
    if (key == kPasswordKey || (IsSecret(key) && attribute && !attribute.Text().empty()))
        return kPasswordPlaceholder;
    return attribute ? attribute.Text() : "";
}

void TUserPOP3AccountTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key.empty() || key[0] != '@')
        return;
    CheckAddress(key, value);
    // An account without the attribute lets its port decide, logs in by USER and PASS, collects
    // and deletes, keeps for good: the default is written as no attribute.
    if (((key == kPop3SecurityKey || key == kPop3AuthKey) && value.empty()) ||
        (key == kPop3LeaveKey && value == "false") || (key == kPop3LeaveDaysKey && value.empty())) {
        account.RemoveNamedItem(key.substr(1));
        return;
    }
    std::string text = value;
    if (IsSecret(key)) {
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
