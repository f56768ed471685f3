// TRulesetElementTreeControl: the common part of the controllers below a ruleset node. Each
// edits one element of the ruleset document in memory: its values are the texts its keys select
// relative to the element, and deleting the node removes the element.
#pragma once

#include <string>

#include "manager/document.h"
#include "manager/tree_control.h"

namespace Ovrin {

class TRulesetElementTreeControl : public TTreeControl {
public:
    TRulesetElementTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, const QString& caption,
                               QTreeWidgetItem* parent, TXmlNode element, std::string user);

    TStringArray PopupItems() override;
    bool KeepsEditsPending() override { return true; }
    // "Delete" removes the element from its parent element before the node goes.
    void PopupCommand(const std::string& caption) override;
    std::string GetValue(const std::string& key) override;
    // A missing attribute or child element is created, so files without it can be edited.
    void SetValue(const std::string& key, const std::string& value) override;

    const TXmlNode& Element() const { return element; }
    const std::string& User() const { return user; }
    // The user's directory in the mail store.
    std::string UserDirectory() const;
    // The names of the user's mailboxes: subdirectories not beginning with ".".
    TStringArray Mailboxes() const;

protected:
    QTreeWidgetItem* ChildNodeAt(int index);

private:
    TXmlNode element;
    std::string user;
};

// A new child node of the parent at the index (appended when out of range), for a controller.
QTreeWidgetItem* NewNodeAt(QTreeWidgetItem* parent, int index);

// The warning of a validation: shown, never raised, so that it does not stop a save.
// Shows the warning; false, for the validation that gave it.
bool Warn(const std::string& text);

QString QText(const std::string& text);

}  // namespace Ovrin
