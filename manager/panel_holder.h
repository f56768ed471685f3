// TPanelHolder: the area right of the tree that holds one hidden editing panel per kind of node
// and the "Help", "Validate fields" and "Save changes" buttons. Panels are made on first use by
// the controller that shows them, so the window needs to know no kind of node.
#pragma once

#include <functional>

#include <QWidget>

class QPushButton;
class QTreeWidget;
class QVBoxLayout;

namespace Ovrin {

class TPanelHolder : public QWidget {
    Q_OBJECT

public:
    explicit TPanelHolder(QWidget* parent = nullptr);

    QWidget* Panel(const QString& name, const std::function<QWidget*(QWidget* holder)>& build);
    // Hides and disables every panel, disables the buttons and forgets the shown panel.
    void HideAll();
    void Show(QWidget* panel);
    QWidget* ShownPanel() const { return shown; }

    QPushButton* btnHelp;
    QPushButton* btnValidateValues;
    QPushButton* btnApply;

    // The holder serving a tree's controllers.
    static TPanelHolder* Of(const QTreeWidget* tree);
    void Serve(QTreeWidget* tree);

private:
    QWidget* panels;
    QVBoxLayout* panelLayout;
    QWidget* shown = nullptr;
    QTreeWidget* tree = nullptr;
};

}  // namespace Ovrin
