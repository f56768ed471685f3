// TUserPOP3AccountTreeControl: one remote POP3 account, "username@hostname:port", editing its
// pop3-client element in the user's document; a save writes the user's file.
#pragma once

#include "manager/document.h"
#include "manager/tree_control.h"

namespace Ovrin {

class TUserPOP3AccountTreeControl : public TTreeControl {
public:
    TUserPOP3AccountTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TXmlNode account);

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    // "Delete" removes the element from the document before the node goes.
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    bool BeginLoad() override;
    // The attribute's text; the password shows as the placeholder.
    std::string GetValue(const std::string& key) override;
    bool CanSave() override;
    // A secret (password, client secret) is written, Base64-encoded, only when it is not the
    // placeholder; an empty auth or
    // security removes the attribute.
    void SetValue(const std::string& key, const std::string& value) override;
    void EndSave() override;

private:
    void ShowCaption();
    // The device authorization with the panel's current settings; the refresh token it brings
    // goes into the account, written by the next save.
    void Authorize();

    TXmlNode account;
};

}  // namespace Ovrin
