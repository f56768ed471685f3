// TPanelHolder: making, showing and hiding the editing panels, and their buttons.
#include "manager/panel_holder.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace Ovrin {

namespace {
constexpr const char* kHolderProperty = "panelHolder";
}

TPanelHolder::TPanelHolder(QWidget* parent) : QWidget(parent) {
    setObjectName("pnlControlPanelHolder");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    panels = new QWidget(this);
    panelLayout = new QVBoxLayout(panels);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panels, 1);

    auto* buttons = new QHBoxLayout;
    btnHelp = new QPushButton("Help", this);
    btnHelp->setObjectName("btnHelp");
    btnValidateValues = new QPushButton("Validate fields", this);
    btnValidateValues->setObjectName("btnValidateValues");
    btnApply = new QPushButton("Save changes", this);
    btnApply->setObjectName("btnApply");
    buttons->addWidget(btnHelp);
    buttons->addStretch(1);
    buttons->addWidget(btnValidateValues);
    buttons->addWidget(btnApply);
    layout->addLayout(buttons);
    HideAll();
}

QWidget* TPanelHolder::Panel(const QString& name, const std::function<QWidget*(QWidget*)>& build) {
    if (auto* existing = panels->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly))
        return existing;
    QWidget* panel = build(panels);
    panel->setObjectName(name);
    panel->setParent(panels);
    panel->hide();
    panel->setEnabled(false);
    panelLayout->addWidget(panel);
    return panel;
}

void TPanelHolder::HideAll() {
    for (auto* panel : panels->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        panel->hide();
        panel->setEnabled(false);
    }
    shown = nullptr;
    btnHelp->setEnabled(false);
    btnValidateValues->setEnabled(false);
    btnApply->setEnabled(false);
}

void TPanelHolder::Show(QWidget* panel) {
    panel->setEnabled(true);
    panel->show();
    panel->raise();
    shown = panel;
    // Tab runs from the tree through the fields to "Validate fields" and "Save changes", "Help"
    // last; the panels are made after the buttons, so creation order would put them first.
    QWidget* previous = tree;
    for (QWidget* field : panel->findChildren<QWidget*>()) {
        if (!(field->focusPolicy() & Qt::TabFocus))
            continue;
        if (previous)
            QWidget::setTabOrder(previous, field);
        previous = field;
    }
    if (previous)
        QWidget::setTabOrder(previous, btnValidateValues);
    QWidget::setTabOrder(btnValidateValues, btnApply);
    QWidget::setTabOrder(btnApply, btnHelp);
}

TPanelHolder* TPanelHolder::Of(const QTreeWidget* tree) {
    return tree ? qobject_cast<TPanelHolder*>(tree->property(kHolderProperty).value<QObject*>()) : nullptr;
}

void TPanelHolder::Serve(QTreeWidget* served) {
    tree = served;
    tree->setProperty(kHolderProperty, QVariant::fromValue<QObject*>(this));
}

}  // namespace Ovrin
