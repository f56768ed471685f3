// TUserRulesetTreeControl: a user's ruleset ("Rules"). It holds the document of the user's
// ruleset.xml, read on first selection under the server's ruleset lock, and writes it back on
// every save below it; it also creates rules, imports, exports and sends a test message.
#pragma once

#include <memory>
#include <string>

#include "manager/tree_control.h"

namespace Ovrin {

class TEditedFile;
class TXmlDocument;

class TUserRulesetTreeControl : public TTreeControl {
public:
    TUserRulesetTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user);
    ~TUserRulesetTreeControl() override;

    TTreeControl* Recreate() override;
    std::string HelpSection() override { return "The ruleset editor"; }
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    bool BeginLoad() override;
    std::string GetValue(const std::string& key) override;
    bool CanSave() override;
    bool Commit() override;
    void OnSelect() override;

    const std::string& User() const { return user; }
    std::string UserDirectory() const;
    std::string RulesetPath() const;

private:
    void Load();
    void CreateRule();
    void Import();
    void OfferMissingMailboxes(const TXmlDocument& imported);
    void Export();

    std::string user;
    std::unique_ptr<TEditedFile> file;
    bool loaded = false;
};

}  // namespace Ovrin
