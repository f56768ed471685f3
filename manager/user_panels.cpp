// The builders of the user, account and mailbox panels.
#include "manager/user_panels.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <string>

#include "manager/oauth_device_flow.h"
#include "manager/panel_widgets.h"

namespace Ovrin {

namespace {

// A panel that only tells what its node is for.
QWidget* NewNotePanel(QWidget* holder, const char* title, const char* text) {
    QWidget* panel = NewPanel(holder, title);
    auto* label = new QLabel(text, panel);
    label->setWordWrap(true);
    Layout(panel)->addWidget(label);
    Layout(panel)->addStretch(1);
    return panel;
}

}  // namespace

QWidget* BuildUserOptionsPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "User parameters (passed in as x-ovrin-user-Name variables):");
    QTableWidget* parameters = NewValueListEditor(panel, "kveUserOptions");
    Layout(panel)->addWidget(parameters, 1);

    auto* row = new QHBoxLayout();
    auto* add = new QPushButton("Add parameter", panel);
    add->setObjectName("btnAddUserParam");
    auto* remove = new QPushButton("Delete parameter", panel);
    remove->setObjectName("btnDeleteUserParam");
    row->addWidget(add);
    row->addWidget(remove);
    row->addStretch(1);
    Layout(panel)->addLayout(row);
    QObject::connect(add, &QPushButton::clicked, parameters, [parameters] {
        int added = parameters->rowCount();
        parameters->insertRow(added);
        parameters->setItem(added, 0, new QTableWidgetItem());
        parameters->setItem(added, 1, new QTableWidgetItem());
        parameters->setCurrentCell(added, 0);
        parameters->editItem(parameters->item(added, 0));
    });
    QObject::connect(remove, &QPushButton::clicked, parameters, [parameters] {
        if (parameters->currentRow() >= 0)
            parameters->removeRow(parameters->currentRow());
    });

    auto* form = new QFormLayout();
    QLineEdit* password = NewEdit(panel, "edtPOP3ServerPassword", kAuthenticationKey);
    password->setEchoMode(QLineEdit::Password);
    form->addRow("POP3 server password:", password);
    Layout(panel)->addLayout(form);
    return panel;
}

QWidget* BuildPop3AccountsPanel(QWidget* holder) {
    return NewNotePanel(holder, "POP3 accounts",
                        "The accounts on remote POP3 servers from which the server collects this user's mail and "
                        "files it through the user's rules. \"Create new account\" in the popup menu adds one; the "
                        "file is written by \"Save changes\".");
}

QWidget* BuildPop3AccountPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "POP3 account");
    auto* form = new QFormLayout();
    for (const TPop3AccountField& field : kPop3AccountFields) {
        QLineEdit* edit = NewEdit(panel, field.name, field.key);
        if (field.masked)
            edit->setEchoMode(QLineEdit::Password);
        form->addRow(field.label, edit);
    }
    form->addRow("Security:", NewChoice(panel, "cmbPOP3Security", kPop3SecurityKey,
                                        {{"By port: TLS on port 995, none on any other", ""},
                                         {"None: plain text", "none"},
                                         {"TLS from the start (POP3S)", "tls"},
                                         {"STLS after the greeting", "starttls"}}));
    form->addRow(NewCheckBox(panel, "cbPOP3LeaveOnServer", "Leave a copy on the server",
                             (std::string(kPop3LeaveKey) + "|false|true").c_str()));
    QLineEdit* days = NewEdit(panel, "edtPOP3LeaveDays", kPop3LeaveDaysKey);
    days->setValidator(new QIntValidator(0, 1000000, days));
    days->setPlaceholderText("for good");
    form->addRow("for at most N days:", days);
    form->addRow("Authentication:", NewChoice(panel, "cmbPOP3Auth", kPop3AuthKey,
                                              {{"Password (USER and PASS)", ""},
                                               {"PLAIN", "plain"},
                                               {"XOAUTH2", "xoauth2"},
                                               {"OAUTHBEARER", "oauthbearer"}}));
    // Not bound: a choice only fills the fields below.
    auto* provider = new QComboBox(panel);
    provider->setObjectName("cmbOAuthProvider");
    provider->addItem("Other: entered by hand");
    for (const TOAuthPreset& preset : kOAuthPresets)
        provider->addItem(preset.name);
    form->addRow("OAuth provider:", provider);
    for (const TPop3AccountField& field : kOAuthFields) {
        QLineEdit* edit = NewEdit(panel, field.name, field.key);
        if (field.masked)
            edit->setEchoMode(QLineEdit::Password);
        form->addRow(field.label, edit);
    }
    QObject::connect(provider, &QComboBox::activated, panel, [panel](int index) {
        if (index < 1)
            return;
        const TOAuthPreset& preset = kOAuthPresets[index - 1];
        panel->findChild<QLineEdit*>("edtOAuthDeviceURL")->setText(preset.deviceUrl);
        panel->findChild<QLineEdit*>("edtOAuthTokenURL")->setText(preset.tokenUrl);
        panel->findChild<QLineEdit*>("edtOAuthScope")->setText(preset.scope);
    });
    auto* authorize = new QPushButton("Authorize...", panel);
    authorize->setObjectName("btnOAuthAuthorize");
    auto* status = new QLabel(panel);
    status->setObjectName("lblOAuthStatus");
    status->setWordWrap(true);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(authorize, status);
    (new TOAuthDeviceFlow(panel))->setObjectName("oauthDeviceFlow");
    Layout(panel)->addLayout(form);
    Layout(panel)->addStretch(1);
    return panel;
}

QWidget* BuildMailboxesPanel(QWidget* holder) {
    return NewNotePanel(holder, "Mailboxes",
                        "Each mailbox is a directory of message files, read by mail clients through the POP3 "
                        "server (user name \"user/mailbox\"; \"mail\" when no mailbox is named). Messages that no "
                        "rule accepts go to \"spam\". \"Create new mailbox\" in the popup menu adds one.");
}

}  // namespace Ovrin
