// TTreeControl: the controller behind one node of the manager's tree. It decides the node's
// children, its editing panel, how the panel's bound fields load and save, its popup menu and
// what the menu's commands do. The window knows controllers only through this class.
#pragma once

#include <string>

#include <QIcon>
#include <QString>

#include "manager/globals.h"

class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace Ovrin {

class TPanelHolder;

class TTreeControl {
public:
    // With a node: the node must be a child of the parent (top level when the parent is null);
    // its old controller is freed, its children deleted, and it carries this controller.
    // Without a node: a new child of the parent (or a new top-level node) is made for it.
    TTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, const QString& caption, QTreeWidgetItem* parent);
    // Frees the controllers of the child nodes and deletes those nodes; the own node stays.
    virtual ~TTreeControl();
    TTreeControl(const TTreeControl&) = delete;
    TTreeControl& operator=(const TTreeControl&) = delete;

    // A fresh controller of the same class on the same node; this one is freed by it.
    virtual TTreeControl* Recreate() = 0;
    virtual TStringArray PopupItems();
    // "Refresh" refreshes; "Delete" frees the controller and deletes its node.
    virtual void PopupCommand(const std::string& caption);
    virtual QWidget* Panel();
    virtual bool BeginLoad();
    // Called once with an empty key first.
    virtual std::string GetValue(const std::string& key);
    virtual void EndLoad();
    virtual bool CanSave();
    virtual bool BeginSave();
    // Called once with an empty key first.
    virtual void SetValue(const std::string& key, const std::string& value);
    virtual void EndSave();
    // Runs after a successful save; the base asks the parent node's controller to commit. False
    // when nothing was written, the controller having said why.
    virtual bool Commit();
    virtual bool CanValidate();
    // Called once with an empty key first.
    // False when it warned about the value.
    virtual bool Validate(const std::string& key, const std::string& value);
    virtual bool HasHelp();
    // Shows the README's section of the node's kind (HelpSection).
    virtual void Help();
    // The README section's title; the base gives the parent's, or "The manager" at the top.
    virtual std::string HelpSection();
    virtual void OnSelect();
    // Called every few seconds while the node is shown without edits: brings what it shows up to
    // date with the directory it shows, when that changed. It may refresh, so freeing this
    // controller.
    virtual void FollowDirectory();
    // True when the panel's edits go into a document that a later save writes: the node's own
    // commands then keep them pending there instead of asking to save them first.
    virtual bool KeepsEditsPending();
    virtual bool CanCollapse();
    virtual bool CanExpand();

    QTreeWidget* TreeView() const { return tree; }
    QTreeWidgetItem* Node() const { return node; }
    TTreeControl* ParentControl() const;
    // Collapses the node, recreates its controller and shows its panel again. This controller
    // is gone afterwards; the new one is returned.
    TTreeControl* Refresh();
    // Refresh, then expand the node; the new controller is returned.
    TTreeControl* RefreshAndExpand();
    // After a command that made a child: refresh, expand and select the child of that caption.
    void RefreshAndSelectChild(const QString& caption);

    // The controller that a node carries, or null.
    static TTreeControl* Of(const QTreeWidgetItem* node);

protected:
    // The editing panel of the given name, made once per window with build.
    QWidget* FormPanel(const QString& name, QWidget* (*build)(QWidget* holder));
    void SetIcon(const QIcon& icon);

private:
    QTreeWidget* tree;
    QTreeWidgetItem* node;
};


}  // namespace Ovrin
