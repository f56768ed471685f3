// TOptionsTreeControl: the "Options" node, the global options of config.xml with the values in
// effect in the server; saving restarts the service.
#pragma once

#include <memory>

#include "manager/tree_control.h"

namespace Ovrin {

class TXmlDocument;

class TOptionsTreeControl : public TTreeControl {
public:
    TOptionsTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent);
    ~TOptionsTreeControl() override;

    TTreeControl* Recreate() override;
    QWidget* Panel() override;
    bool BeginLoad() override;
    std::string GetValue(const std::string& key) override;
    bool CanSave() override;
    bool BeginSave() override;
    void SetValue(const std::string& key, const std::string& value) override;
    bool Commit() override;

private:
    std::string ConfigPath() const;

    std::unique_ptr<TXmlDocument> document;
};

}  // namespace Ovrin
