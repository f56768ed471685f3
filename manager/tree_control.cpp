// The base behaviour of every node controller, and how controllers own nodes.
#include "manager/tree_control.h"

#include <QTreeWidget>

#include "common/exception.h"
#include "manager/help.h"
#include "manager/panel_holder.h"

namespace Ovrin {

TTreeControl::TTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, const QString& caption, QTreeWidgetItem* parent)
    : tree(tree), node(node) {
    if (node) {
        if (node->parent() != parent || node->treeWidget() != tree)
            throw CMessageException("Invalid node parameters in the call to TTreeControl.Create");
        delete Of(node);
        qDeleteAll(node->takeChildren());
    } else {
        this->node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
    }
    this->node->setText(0, caption);
    this->node->setData(0, Qt::UserRole, QVariant::fromValue<void*>(this));
}

TTreeControl::~TTreeControl() {
    // Cleared first: deleting a selected child moves the selection, and the window must not
    // reach a controller that is half gone.
    if (Of(node) == this)
        node->setData(0, Qt::UserRole, QVariant());
    while (node->childCount() > 0) {
        delete Of(node->child(0));
        delete node->takeChild(0);
    }
}

TTreeControl* TTreeControl::Of(const QTreeWidgetItem* node) {
    return node ? static_cast<TTreeControl*>(node->data(0, Qt::UserRole).value<void*>()) : nullptr;
}

TTreeControl* TTreeControl::ParentControl() const { return Of(node->parent()); }

TTreeControl* TTreeControl::Refresh() {
    QTreeWidget* view = tree;
    QTreeWidgetItem* item = node;
    view->collapseItem(item);
    view->setUpdatesEnabled(false);
    struct TResume {
        QTreeWidget* view;
        ~TResume() { view->setUpdatesEnabled(true); }
    } resume{view};
    TTreeControl* fresh = Recreate();  // this controller is freed here
    // Through the selection change, so the panel is loaded exactly as when a user selects it.
    view->setCurrentItem(nullptr);
    view->setCurrentItem(item);
    return fresh;
}

TTreeControl* TTreeControl::RefreshAndExpand() {
    QTreeWidget* view = tree;
    TTreeControl* fresh = Refresh();  // this controller is freed here
    view->setCurrentItem(fresh->Node());
    view->expandItem(fresh->Node());
    return fresh;
}

void TTreeControl::RefreshAndSelectChild(const QString& caption) {
    QTreeWidget* view = tree;
    QTreeWidgetItem* item = RefreshAndExpand()->Node();  // this controller is freed here
    for (int i = 0; i < item->childCount(); ++i)
        if (item->child(i)->text(0) == caption) {
            view->setCurrentItem(item->child(i));
            return;
        }
}

QWidget* TTreeControl::FormPanel(const QString& name, QWidget* (*build)(QWidget* holder)) {
    TPanelHolder* holder = TPanelHolder::Of(tree);
    if (!holder)
        throw CMessageException("The tree has no panel holder for %s", name.toUtf8().constData());
    return holder->Panel(name, build);
}

void TTreeControl::SetIcon(const QIcon& icon) { node->setIcon(0, icon); }

TStringArray TTreeControl::PopupItems() { return {}; }

void TTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Refresh") {
        Refresh();
    } else if (caption == "Delete") {
        QTreeWidgetItem* item = node;
        delete this;
        delete item;
    }
}

QWidget* TTreeControl::Panel() { return nullptr; }
bool TTreeControl::BeginLoad() { return false; }
std::string TTreeControl::GetValue(const std::string&) { return ""; }
void TTreeControl::EndLoad() {}
bool TTreeControl::CanSave() { return false; }
bool TTreeControl::BeginSave() { return true; }
void TTreeControl::SetValue(const std::string&, const std::string&) {}
void TTreeControl::EndSave() {}

bool TTreeControl::Commit() {
    TTreeControl* parent = ParentControl();
    return !parent || parent->Commit();
}

bool TTreeControl::CanValidate() { return false; }
bool TTreeControl::Validate(const std::string&, const std::string&) { return true; }
bool TTreeControl::HasHelp() { return true; }
void TTreeControl::Help() { ShowReadmeSection(HelpSection()); }
// A node is helped by its parent's section unless its kind has one of its own.
std::string TTreeControl::HelpSection() {
    TTreeControl* parent = ParentControl();
    return parent ? parent->HelpSection() : "The manager";
}
void TTreeControl::OnSelect() {}
bool TTreeControl::KeepsEditsPending() { return false; }
void TTreeControl::FollowDirectory() {}
bool TTreeControl::CanCollapse() { return true; }
bool TTreeControl::CanExpand() { return true; }

}  // namespace Ovrin
