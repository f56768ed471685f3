// TUserRuleTreeControl: a rule's values, children and popup commands.
#include "manager/rule_tree_control.h"

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "manager/action_tree_controls.h"
#include "manager/match_tree_controls.h"
#include "manager/regex_match.h"
#include "manager/rule_panels.h"
#include "manager/ruleset_templates.h"
#include "manager/template.h"

namespace Ovrin {

namespace {

constexpr const char* kExpiryWarning =
    "The rule expiration date appears to be broken, it should either specify date and time in ISO format, ex:\r\n"
    "2005-12-31 23:59:59\r\n"
    "or contain portions of such a date intermitted with applicable macro(s), ex:\r\n"
    "2005-{{my-favourite-month}}-31 00:00:00";
constexpr const char* kDatePattern =
    "^(20(?:[0-2][0-9]|3[0-7]))-(0[1-9]|1[0-2])-(0[1-9]|[1-2][0-9]|3[0-1]) ([0-1][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])$";
constexpr const char* kMacroDatePattern = "^(?:[0-9: -]*\\{\\{[^{}]+\\}\\})+[0-9: -]*$";

std::string Caption(const TXmlNode& rule) {
    TXmlNode description = rule.SelectSingleNode("@description");
    return description ? description.Text() : "";
}

bool IsMatchNode(QTreeWidgetItem* item) { return dynamic_cast<TMatchTreeControl*>(TTreeControl::Of(item)) != nullptr; }

}  // namespace

TTreeControl* NewRuleChild(QTreeWidget* tree, QTreeWidgetItem* ruleNode, int index, const TXmlNode& element,
                           const std::string& user) {
    TXmlNode handlerNode = element.SelectSingleNode("@handler");
    std::string handler = handlerNode ? handlerNode.Text() : "";
    if (element.Name() == "match") {
        if (handler == "any")
            return new TAnyMatchTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
        if (handler == "regex")
            return new TRegexMatchTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
        if (handler == "python")
            return new TPythonMatchTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
    } else if (element.Name() == "action") {
        if (handler == "dispatch")
            return new TDispatchActionTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
        if (handler == "python")
            return new TPythonActionTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
        if (handler == "ruleset")
            return new TRulesetActionTreeControl(tree, NewNodeAt(ruleNode, index), ruleNode, element, user);
    }
    return nullptr;
}

TUserRuleTreeControl::TUserRuleTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                           TXmlNode rule, std::string user)
    : TRulesetElementTreeControl(tree, node, QText(Caption(rule)), parent, rule, std::move(user)) {
    ShowState();
}

TTreeControl* TUserRuleTreeControl::Recreate() {
    return new TUserRuleTreeControl(TreeView(), Node(), Node()->parent(), Element(), User());
}

void TUserRuleTreeControl::ShowState() {
    Node()->setText(0, QText(Caption(Element())));
    bool enabled = GetValue("@enabled") == "true";
    SetIcon(QApplication::style()->standardIcon(enabled ? QStyle::SP_DialogApplyButton : QStyle::SP_DialogCancelButton));
}

bool TUserRuleTreeControl::IsSubordinate() const {
    for (QTreeWidgetItem* up = Node()->parent(); up; up = up->parent())
        if (dynamic_cast<TUserRuleTreeControl*>(Of(up)))
            return true;
    return false;
}

TStringArray TUserRuleTreeControl::PopupItems() {
    TStringArray items;
    for (const auto& match : RulesetTemplates::kMatches)
        items.push_back(std::string("Add new match|") + match.caption);
    for (size_t i = 0; i < std::size(RulesetTemplates::kActions); ++i)
        items.push_back(std::string(i < 2 ? "Add new action|" : "Add new action|Modify the ruleset|") +
                        RulesetTemplates::kActions[i].caption);
    if (!IsSubordinate()) {
        items.push_back("Create new rule");
        items.push_back("Delete");
    }
    return items;
}

void TUserRuleTreeControl::PopupCommand(const std::string& caption) {
    for (size_t i = 0; i < std::size(RulesetTemplates::kMatches); ++i)
        if (caption == RulesetTemplates::kMatches[i].caption)
            return AddMatch(i);
    for (size_t i = 0; i < std::size(RulesetTemplates::kActions); ++i)
        if (caption == RulesetTemplates::kActions[i].caption)
            return AddAction(i);
    if (caption == "Create new rule")
        return CreateRuleAfter();
    TRulesetElementTreeControl::PopupCommand(caption);
}

void TUserRuleTreeControl::OnSelect() {
    if (Node()->childCount() == 0)
        BuildChildren();
}

void TUserRuleTreeControl::BuildChildren() {
    for (const TXmlNode& match : Element().SelectNodes("matches/match"))
        NewRuleChild(TreeView(), Node(), -1, match, User());
    for (const TXmlNode& action : Element().SelectNodes("actions/action"))
        NewRuleChild(TreeView(), Node(), -1, action, User());
}

void TUserRuleTreeControl::AddMatch(size_t kind) {
    if (Node()->childCount() == 0)
        BuildChildren();
    const auto& templates = RulesetTemplates::kMatches[kind];
    TXmlNode last = Element().SelectSingleNode("matches/match[position()=last()]");
    TXmlNode match = last ? ApplyTemplate(last, templates.afterLast) : ApplyTemplate(Element(), templates.intoRule);
    if (TXmlNode script = match.SelectSingleNode("script"))
        script.SetText(kSampleMatchScript);
    int index = 0;
    for (int i = 0; i < Node()->childCount(); ++i)
        if (IsMatchNode(Node()->child(i)))
            index = i + 1;
    TTreeControl* control = NewRuleChild(TreeView(), Node(), index, match, User());
    TreeView()->expandItem(Node());
    TreeView()->setCurrentItem(control->Node());
}

void TUserRuleTreeControl::AddAction(size_t kind) {
    if (Node()->childCount() == 0)
        BuildChildren();
    const auto& templates = RulesetTemplates::kActions[kind];
    TXmlNode last = Element().SelectSingleNode("actions/action[position()=last()]");
    TXmlNode action = last ? ApplyTemplate(last, templates.afterLast) : ApplyTemplate(Element(), templates.intoRule);
    if (TXmlNode script = action.SelectSingleNode("script"))
        script.SetText(kSampleActionScript);
    TTreeControl* control = NewRuleChild(TreeView(), Node(), -1, action, User());
    TreeView()->expandItem(Node());
    TreeView()->setCurrentItem(control->Node());
}

void TUserRuleTreeControl::CreateRuleAfter() {
    TXmlNode rule = ApplyTemplate(Element(), RulesetTemplates::kRuleAfter);
    QTreeWidgetItem* parent = Node()->parent();
    auto* control = new TUserRuleTreeControl(TreeView(), NewNodeAt(parent, parent->indexOfChild(Node()) + 1), parent,
                                             rule, User());
    TreeView()->setCurrentItem(control->Node());
}

QWidget* TUserRuleTreeControl::Panel() { return FormPanel("pnlRule", BuildRulePanel); }
bool TUserRuleTreeControl::BeginLoad() { return true; }
bool TUserRuleTreeControl::CanSave() { return true; }
bool TUserRuleTreeControl::CanValidate() { return true; }

void TUserRuleTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key == "@dispatched-messages")
        return;  // shown, not edited: the server counts
    TRulesetElementTreeControl::SetValue(key, value);
}

void TUserRuleTreeControl::EndSave() { ShowState(); }

bool TUserRuleTreeControl::Validate(const std::string& key, const std::string& value) {
    if (key.empty()) {
        if (Element().SelectNodes("matches/match").empty() || Element().SelectNodes("actions/action").empty())
            return Warn("A rule should have at least one match and one action to be of any use.");
    } else if (key == "@expires") {
        if (!RegexMatch(kDatePattern, value) && !RegexMatch(kMacroDatePattern, value))
            return Warn(kExpiryWarning);
    }
    return true;
}

}  // namespace Ovrin
