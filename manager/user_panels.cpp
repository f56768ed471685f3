// The builders of the user, account and mailbox panels.
#include "manager/user_panels.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

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
