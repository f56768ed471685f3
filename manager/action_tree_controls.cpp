// The action controllers: their values, captions and the subordinate rule of an insert.
#include "manager/action_tree_controls.h"

#include <QApplication>
#include <QLineEdit>
#include <QStyle>
#include <QTreeWidget>

#include "manager/match_tree_controls.h"
#include "manager/rule_panels.h"
#include "manager/rule_tree_control.h"

namespace Ovrin {

const char* const kSampleActionScript =
    "# The message header is in the dictionary headers, by lower-case field name; set result to\n"
    "# the name of the target mailbox, e.g.\n"
    "# result = 'mail'\n";

namespace {

QIcon ActionIcon() { return QApplication::style()->standardIcon(QStyle::SP_ArrowRight); }

QLineEdit* ReferenceField(QWidget* panel) { return panel->findChild<QLineEdit*>("edtReference"); }

}  // namespace

std::string RulesetActionCaption(const std::string& method) {
    static const std::pair<const char*, const char*> captions[] = {
        {"insert-first", "Insert new rule at the top"},     {"insert-last", "Insert new rule at the end"},
        {"insert-before", "Insert new rule before this rule"}, {"insert-after", "Insert new rule after this rule"},
        {"move-first", "Restart message processing"},      {"move-end", "Stop message processing"},
        {"move-next", "Skip to the next rule"},            {"delete-current", "Delete this rule"},
    };
    for (const auto& [name, caption] : captions)
        if (method == name)
            return caption;
    return method;
}

TDispatchActionTreeControl::TDispatchActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node,
                                                       QTreeWidgetItem* parent, TXmlNode action, std::string user)
    : TRulesetElementTreeControl(tree, node, "Put message to the specified mailbox", parent, std::move(action),
                                 std::move(user)) {
    SetIcon(ActionIcon());
}

TTreeControl* TDispatchActionTreeControl::Recreate() {
    return new TDispatchActionTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TDispatchActionTreeControl::Panel() { return FormPanel("pnlActionDispatch", BuildActionDispatchPanel); }

bool TDispatchActionTreeControl::BeginLoad() {
    FillMailboxMenu(Panel(), Mailboxes());
    return true;
}

bool TDispatchActionTreeControl::Validate(const std::string& key, const std::string& value) {
    // A macro names the mailbox only when a message is filed ("{{x-ovrin-training-mailbox}}").
    if (key != "@mailbox" || (value.find("{{") != std::string::npos && value.find("}}") != std::string::npos))
        return true;
    for (const std::string& mailbox : Mailboxes())
        if (mailbox == value)
            return true;
    return Warn("The mailbox name you've entered is invalid - either it doesn't exist or it is an internal special mailbox.");
}

TPythonActionTreeControl::TPythonActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                   TXmlNode action, std::string user)
    : TRulesetElementTreeControl(tree, node, "Process message using Python script", parent, std::move(action),
                                 std::move(user)) {
    SetIcon(ActionIcon());
}

TTreeControl* TPythonActionTreeControl::Recreate() {
    return new TPythonActionTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TPythonActionTreeControl::Panel() { return FormPanel("pnlActionPython", BuildActionPythonPanel); }

bool TPythonActionTreeControl::Validate(const std::string& key, const std::string& value) {
    return key != "script" || ValidatePythonScript(value);
}

TRulesetActionTreeControl::TRulesetActionTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                     TXmlNode action, std::string user)
    : TRulesetElementTreeControl(tree, node, "", parent, std::move(action), std::move(user)) {
    Node()->setText(0, QText(RulesetActionCaption(GetValue("@method"))));
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_BrowserReload));
    if (TXmlNode rule = Element().SelectSingleNode("rule"))
        new TUserRuleTreeControl(tree, nullptr, Node(), rule, User());
}

TTreeControl* TRulesetActionTreeControl::Recreate() {
    return new TRulesetActionTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

QWidget* TRulesetActionTreeControl::Panel() { return FormPanel("pnlActionRuleset", BuildActionRulesetPanel); }

bool TRulesetActionTreeControl::TakesReference() {
    std::string method = GetValue("@method");
    return method == "insert-before" || method == "insert-after";
}

bool TRulesetActionTreeControl::BeginLoad() {
    QLineEdit* reference = ReferenceField(Panel());
    reference->setEnabled(false);
    reference->clear();
    return true;
}

std::string TRulesetActionTreeControl::GetValue(const std::string& key) {
    if (key == kMethodCaptionKey)
        return RulesetActionCaption(GetValue("@method"));
    if (key == "@reference") {
        if (!TakesReference())
            return "";
        ReferenceField(Panel())->setEnabled(true);
    }
    return TRulesetElementTreeControl::GetValue(key);
}

void TRulesetActionTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key != kMethodCaptionKey)
        TRulesetElementTreeControl::SetValue(key, value);
}

bool TRulesetActionTreeControl::CanSave() { return TakesReference(); }

}  // namespace Ovrin
