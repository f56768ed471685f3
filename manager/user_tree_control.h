// TUserTreeControl: one user. It holds the document of the user's user.xml, read on the first
// selection under the server's user lock and written back by every save on it or below it; its
// panel edits the user's parameters and the password for the server's own POP3 service. Its
// children are "Accounts", "Rules" and "Mailboxes".
#pragma once

#include <memory>
#include <string>

#include "manager/tree_control.h"

namespace Ovrin {

class TEditedFile;

class TUserTreeControl : public TTreeControl {
public:
    TUserTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, std::string user);
    ~TUserTreeControl() override;

    TTreeControl* Recreate() override;
    TStringArray PopupItems() override;
    void PopupCommand(const std::string& caption) override;
    QWidget* Panel() override;
    void OnSelect() override;
    bool BeginLoad() override;
    std::string GetValue(const std::string& key) override;
    bool CanSave() override;
    void SetValue(const std::string& key, const std::string& value) override;
    bool Commit() override;

private:
    std::string ConfigPath() const;
    void Load();
    void SetParameters();
    void SetPassword(const std::string& password);
    bool HasPassword() const;

    std::string user;
    std::unique_ptr<TEditedFile> file;
};

}  // namespace Ovrin
