// The builders of the ruleset editor's panels.
#include "manager/rule_panels.h"

#include <functional>

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "manager/action_tree_controls.h"
#include "manager/field_binding.h"
#include "manager/panel_widgets.h"

namespace Ovrin {

namespace {

// An edit with a picker button beside it.
QWidget* WithButton(QWidget* panel, QLineEdit* edit, QPushButton* button) {
    auto* row = new QWidget(panel);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    edit->setParent(row);
    button->setParent(row);
    layout->addWidget(edit, 1);
    layout->addWidget(button);
    return row;
}

// A picker: a button whose menu sets the field from the chosen item's value.
QMenu* NewPicker(QPushButton* button, const char* menuName) {
    auto* menu = new QMenu(button);
    menu->setObjectName(menuName);
    button->setMenu(menu);
    return menu;
}

void AddPick(QMenu* menu, const QString& caption, const QString& value, const std::function<void(const QString&)>& pick) {
    QAction* action = menu->addAction(caption);
    action->setData(value);
    QObject::connect(action, &QAction::triggered, menu, [value, pick] { pick(value); });
}

struct TExpiry {
    const char* group;
    const char* caption;
    const char* macro;
};

const TExpiry kExpiries[] = {
    {"In ... minutes", "1", "x-ovrin-expires-one-minute"},     {"In ... minutes", "5", "x-ovrin-expires-five-minutes"},
    {"In ... minutes", "10", "x-ovrin-expires-ten-minutes"},   {"In ... minutes", "15", "x-ovrin-expires-fifteen-minutes"},
    {"In ... minutes", "30", "x-ovrin-expires-half-hour"},     {"In ... hours", "1", "x-ovrin-expires-one-hour"},
    {"In ... hours", "2", "x-ovrin-expires-two-hours"},        {"In ... hours", "3", "x-ovrin-expires-three-hours"},
    {"In ... hours", "6", "x-ovrin-expires-six-hours"},        {"In ... days", "1", "x-ovrin-expires-one-day"},
    {"In ... days", "2", "x-ovrin-expires-two-days"},          {"In ... days", "3", "x-ovrin-expires-three-days"},
    {"In ... weeks", "1", "x-ovrin-expires-one-week"},         {"In ... weeks", "2", "x-ovrin-expires-two-weeks"},
    {"In ... months", "1", "x-ovrin-expires-one-month"},       {"In ... months", "2", "x-ovrin-expires-two-months"},
    {"In ... months", "3", "x-ovrin-expires-three-months"},    {"In ... months", "6", "x-ovrin-expires-six-months"},
    {"In ... months", "12", "x-ovrin-expires-one-year"},       {nullptr, "Never", "x-ovrin-expires-never"},
};

const char* const kCommonFields[][2] = {{"From", "from"}, {"To", "to"},           {"Cc", "cc"},
                                        {"Subject", "subject"}, {"Received", "received"}, {"Message-ID", "message-id"}};
const char* const kSpecialFields[][2] = {{"From (mailbox only)", "x-ovrin-parsed-from-mailbox"},
                                         {"To (mailbox only)", "x-ovrin-parsed-to-mailbox"},
                                         {"Cc (mailbox only)", "x-ovrin-parsed-cc-mailbox"},
                                         {"Sender (mailbox only)", "x-ovrin-parsed-sender-mailbox"},
                                         {"Reply-To (mailbox only)", "x-ovrin-parsed-reply-to-mailbox"}};

}  // namespace

QWidget* BuildRulesetPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Ruleset");
    auto* form = new QFormLayout();
    form->addRow("Messages processed by this ruleset:", NewEdit(panel, "edtRulesetDispatched", "@dispatched-messages", true));
    Layout(panel)->addLayout(form);
    Layout(panel)->addStretch(1);
    return panel;
}

QWidget* BuildRulePanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Rule");
    auto* form = new QFormLayout();
    form->addRow("Description:", NewEdit(panel, "edtDescription", "@description"));
    QLineEdit* expires = NewEdit(panel, "edtExpires", "@expires");
    auto* btnExpires = new QPushButton("Expires", panel);
    btnExpires->setObjectName("btnExpires");
    form->addRow("Expiration date:", WithButton(panel, expires, btnExpires));
    form->addRow("Messages dispatched by this rule:", NewEdit(panel, "edtDispatched", "@dispatched-messages", true));
    QCheckBox* enabled = NewCheckBox(panel, "cbEnabled", "The rule is enabled", "@enabled|false|true");
    form->addRow(enabled);
    QCheckBox* applyHeader = NewCheckBox(panel, "cbApplyHeader", "Expand header field {{value}} macros before invocation",
                                         "@apply-header|false|true");
    form->addRow(applyHeader);
    QLineEdit* id = NewEdit(panel, "edtId", "@id");
    auto* btnGenerate = new QPushButton("Generate", panel);
    btnGenerate->setObjectName("btnGenerate");
    form->addRow(new QLabel("Unique rule label (useful only for referencing):", panel));
    form->addRow(WithButton(panel, id, btnGenerate));
    form->addRow(NewCheckBox(panel, "cbTrainable", "The rule is trainable or should be included in training pass",
                             "@trainable|false|true"));
    Layout(panel)->addLayout(form);
    Layout(panel)->addStretch(1);

    QMenu* menu = NewPicker(btnExpires, "mnuExpires");
    auto pick = [expires, applyHeader](const QString& macro) {
        expires->setText("{{" + macro + "}}");
        applyHeader->setChecked(true);
    };
    QMenu* group = nullptr;
    QString groupName;
    for (const TExpiry& expiry : kExpiries) {
        if (!expiry.group) {
            AddPick(menu, expiry.caption, expiry.macro, pick);
            continue;
        }
        if (groupName != expiry.group) {
            groupName = expiry.group;
            group = menu->addMenu(groupName);
        }
        AddPick(group, expiry.caption, expiry.macro, pick);
    }
    QObject::connect(btnGenerate, &QPushButton::clicked, id, [id] { id->setText(QString::fromStdString(NewGuidString())); });
    return panel;
}

QWidget* BuildMatchAnyPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Match any message");
    Layout(panel)->addWidget(new QLabel("Nothing to configure here, any message would match.", panel));
    Layout(panel)->addStretch(1);
    return panel;
}

QWidget* BuildMatchRegexPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Match message by header field value");
    Layout(panel)->addWidget(new QLabel("Header field name(s), separated with semicolons:", panel));
    QLineEdit* name = NewEdit(panel, "edtHeaderFieldName", "@header-field-name");
    auto* row = new QWidget(panel);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    name->setParent(row);
    auto* btnCommon = new QPushButton("Common", row);
    btnCommon->setObjectName("btnCommon");
    auto* btnSpecial = new QPushButton("Special", row);
    btnSpecial->setObjectName("btnSpecial");
    rowLayout->addWidget(name, 1);
    rowLayout->addWidget(btnCommon);
    rowLayout->addWidget(btnSpecial);
    Layout(panel)->addWidget(row);
    Layout(panel)->addWidget(
        NewCheckBox(panel, "cbMatchMode", "If there is more than one field occurance, each must match", "@match-mode|any|all"));
    Layout(panel)->addWidget(new QLabel("Regular expressions, one per line (any one may match):", panel));
    Layout(panel)->addWidget(NewMemo(panel, "memoRegexes", "regexes/regex/@pattern"), 1);

    auto pick = [name](const QString& field) { name->setText(field); };
    QMenu* common = NewPicker(btnCommon, "mnuCommon");
    for (const auto& field : kCommonFields)
        AddPick(common, field[0], field[1], pick);
    QMenu* special = NewPicker(btnSpecial, "mnuSpecial");
    for (const auto& field : kSpecialFields)
        AddPick(special, field[0], field[1], pick);
    return panel;
}

QWidget* BuildMatchPythonPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Match message using Python script");
    Layout(panel)->addWidget(new QLabel("The message matches when the script sets result = \"match\":", panel));
    Layout(panel)->addWidget(NewMemo(panel, "memoMatchScript", "script"), 1);
    return panel;
}

QWidget* BuildActionDispatchPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Put message to the specified mailbox");
    Layout(panel)->addWidget(new QLabel("Mailbox:", panel));
    QLineEdit* mailbox = NewEdit(panel, "edtMailbox", "@mailbox");
    auto* btnMailboxes = new QPushButton("Mailboxes", panel);
    btnMailboxes->setObjectName("btnMailboxes");
    Layout(panel)->addWidget(WithButton(panel, mailbox, btnMailboxes));
    NewPicker(btnMailboxes, "mnuMailboxes");
    Layout(panel)->addStretch(1);
    return panel;
}

void FillMailboxMenu(QWidget* dispatchPanel, const TStringArray& mailboxes) {
    auto* menu = dispatchPanel->findChild<QMenu*>("mnuMailboxes");
    auto* mailbox = dispatchPanel->findChild<QLineEdit*>("edtMailbox");
    menu->clear();
    auto pick = [mailbox](const QString& name) { mailbox->setText(name); };
    for (const std::string& name : mailboxes)
        AddPick(menu, QString::fromStdString(name), QString::fromStdString(name), pick);
    menu->addSeparator();
    AddPick(menu, "<delete>", "<delete>", pick);
    AddPick(menu, "<contents>", "<contents>", pick);
}

QWidget* BuildActionPythonPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Process message using Python script");
    Layout(panel)->addWidget(new QLabel("The script sets result to the name of the target mailbox:", panel));
    Layout(panel)->addWidget(NewMemo(panel, "memoActionScript", "script"), 1);
    return panel;
}

QWidget* BuildActionRulesetPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Modify the ruleset");
    auto* form = new QFormLayout();
    form->addRow("Method:", NewEdit(panel, "edtMethod", kMethodCaptionKey, true));
    form->addRow(new QLabel("Use this rule label as a reference point:", panel));
    form->addRow(NewEdit(panel, "edtReference", "@reference"));
    Layout(panel)->addLayout(form);
    Layout(panel)->addStretch(1);
    return panel;
}

}  // namespace Ovrin
