// TUserRulesetTreeControl: reading, checking and writing a user's ruleset.xml.
#include "manager/ruleset_tree_control.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <QApplication>
#include <QStyle>
#include <QTreeWidget>

#include "common/exception.h"
#include "common/file.h"
#include "manager/dialogs.h"
#include "manager/document.h"
#include "manager/edited_file.h"
#include "manager/rule_panels.h"
#include "manager/rule_tree_control.h"
#include "manager/ruleset_element_tree_control.h"
#include "manager/ruleset_check.h"
#include "manager/ruleset_templates.h"
#include "manager/server_locks.h"
#include "manager/template.h"
#include "manager/test_form.h"

namespace Ovrin {

TUserRulesetTreeControl::TUserRulesetTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent,
                                                 std::string user)
    : TTreeControl(tree, node, "Rules", parent), user(std::move(user)) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_FileDialogListView));
}

TUserRulesetTreeControl::~TUserRulesetTreeControl() = default;

TTreeControl* TUserRulesetTreeControl::Recreate() {
    return new TUserRulesetTreeControl(TreeView(), Node(), Node()->parent(), user);
}

std::string TUserRulesetTreeControl::UserDirectory() const { return MailStore().UserDirectory(user); }
std::string TUserRulesetTreeControl::RulesetPath() const { return MailStore().UserPath(user, kRuleSetFile); }

TStringArray TUserRulesetTreeControl::PopupItems() { return {"Refresh", "Create new rule", "Test", "Import", "Export"}; }

void TUserRulesetTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Create new rule")
        CreateRule();
    else if (caption == "Test")
        TestForm().ShowFor(UserDirectory());
    else if (caption == "Import")
        Import();
    else if (caption == "Export")
        Export();
    else
        TTreeControl::PopupCommand(caption);
}

void TUserRulesetTreeControl::OnSelect() {
    if (!loaded)
        Load();
}

void TUserRulesetTreeControl::Load() {
    // The lock is held only while the file is read: the server goes on filtering meanwhile.
    TRulesetLock lock(user);
    loaded = true;
    auto fresh = std::make_unique<TEditedFile>(RulesetPath(), "dispatched-messages");
    if (fresh->Load()) {
        file = std::move(fresh);
        for (const TXmlNode& rule : file->Document().SelectNodes("/ruleset/rules/rule"))
            new TUserRuleTreeControl(TreeView(), nullptr, Node(), rule, user);
    }
    lock.Release();
}

QWidget* TUserRulesetTreeControl::Panel() { return FormPanel("pnlRuleset", BuildRulesetPanel); }
bool TUserRulesetTreeControl::BeginLoad() { return true; }
bool TUserRulesetTreeControl::CanSave() { return true; }

std::string TUserRulesetTreeControl::GetValue(const std::string& key) {
    if (key.empty() || !file)
        return "";
    TXmlNode node = file->Document().SelectSingleNode("/ruleset").SelectSingleNode(key);
    return node ? node.Text() : "";
}

bool TUserRulesetTreeControl::Commit() {
    if (!file)
        return false;
    TRulesetLock lock(user);
    // The server writes learnt rules and its counters into the file: a save that would undo
    // them is not made. A file the server cannot load would stop all filtering for the user:
    // nothing is written either.
    const std::string schema = MailStore().UserPath(user, kRuleSetSchemaFile);
    return file->SaveUnder(
        lock, [&schema](const TXmlDocument& document) { CheckRulesetForServer(document, schema); },
        [this] { RefreshAndExpand(); });  // this controller is gone after a reload
}

void TUserRulesetTreeControl::CreateRule() {
    if (!loaded)
        Load();
    if (!file)
        throw CMessageException("%s can't be loaded.", RulesetPath().c_str());
    TXmlNode first = file->Document().SelectSingleNode("/ruleset/rules/rule");
    TXmlNode rule;
    if (first) {
        rule = ApplyTemplate(first, RulesetTemplates::kRuleAtStart);
    } else {
        TXmlNode rules = file->Document().SelectSingleNode("/ruleset/rules");
        if (!rules)
            throw CMessageException("%s doesn't look like a valid ruleset file.", RulesetPath().c_str());
        rule = ApplyTemplate(rules, RulesetTemplates::kRuleIntoEmptyList);
    }
    auto* control = new TUserRuleTreeControl(TreeView(), NewNodeAt(Node(), 0), Node(), rule, user);
    TreeView()->expandItem(Node());
    TreeView()->setCurrentItem(control->Node());
}

void TUserRulesetTreeControl::Import() {
    if (!Dialogs().Question("Imported rules will replace all the current ones, proceed ?"))
        return;
    std::string path = Dialogs().OpenFileName("Pick an XML file containing a ruleset", ManagerDirectory() + "/samples");
    if (path.empty())
        return;
    TXmlDocument imported;
    if (!imported.Load(path))
        throw CMessageException("%s can't be loaded.", path.c_str());
    if (imported.SelectNodes("/ruleset/rules").size() != 1)
        throw CMessageException("%s doesn't look like a valid ruleset file.", path.c_str());
    // The same bar as a save: a file the server would refuse is not taken.
    CheckRulesetForServer(imported, MailStore().UserPath(user, kRuleSetSchemaFile));
    OfferMissingMailboxes(imported);
    {
        TRulesetLock lock(user);  // only while the file is replaced, never across a question
        if (!CFile::OverwriteFile(path, RulesetPath()))
            throw CMessageException("Cannot replace the current ruleset file.");
        lock.Release();
    }
    RefreshAndExpand();  // this controller is gone from here on
}

// Rules that dispatch to a mailbox the user lacks would file into nothing: the import names
// them and, when asked to, creates them. A mailbox named by a macro is known only per message.
void TUserRulesetTreeControl::OfferMissingMailboxes(const TXmlDocument& imported) {
    const TStringArray existing = ListVisibleDirectories(UserDirectory());
    TStringArray missing;
    for (const TXmlNode& mailbox : imported.SelectNodes("//action[@handler='dispatch']/@mailbox")) {
        const std::string name = mailbox.Text();
        if (IsMailboxName(name) && std::find(existing.begin(), existing.end(), name) == existing.end() &&
            std::find(missing.begin(), missing.end(), name) == missing.end())
            missing.push_back(name);
    }
    if (missing.empty())
        return;
    std::string names;
    for (const std::string& name : missing)
        names += (names.empty() ? "" : ", ") + name;
    if (!Dialogs().Question("The imported rules file messages into mailboxes that user " + user +
                            " does not have: " + names + ". Create them ?"))
        return;
    for (const std::string& name : missing)
        if (!CFile::CreateDirectory(MailStore().UserPath(user, name)))
            throw CMessageException("Cannot create mailbox: %s", std::strerror(errno));
}

void TUserRulesetTreeControl::Export() {
    std::string path = Dialogs().SaveFileName("Pick an XML file to save ruleset to", ManagerDirectory() + "/samples");
    if (path.empty())
        return;
    TRulesetLock lock(user);
    if (!CFile::OverwriteFile(RulesetPath(), path))
        throw CMessageException("Cannot export the current ruleset file.");
    lock.Release();
    Dialogs().Information("The ruleset has been exported to " + path);
}

}  // namespace Ovrin
