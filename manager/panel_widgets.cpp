// The building pieces of the editing panels.
#include "manager/panel_widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include "manager/field_binding.h"

namespace Ovrin {

QVBoxLayout* AddTitledLayout(QWidget* panel, const char* title) {
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(title, panel);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    layout->addWidget(label);
    return layout;
}

QWidget* NewPanel(QWidget* holder, const char* title) {
    auto* panel = new QWidget(holder);
    AddTitledLayout(panel, title);
    return panel;
}

QVBoxLayout* Layout(QWidget* panel) { return static_cast<QVBoxLayout*>(panel->layout()); }

QLineEdit* NewEdit(QWidget* panel, const char* name, const char* key, bool readOnly) {
    auto* edit = new QLineEdit(panel);
    edit->setObjectName(name);
    edit->setReadOnly(readOnly);
    if (key)
        Bind(edit, key);
    return edit;
}

QCheckBox* NewCheckBox(QWidget* panel, const char* name, const char* caption, const char* binding) {
    auto* box = new QCheckBox(caption, panel);
    box->setObjectName(name);
    Bind(box, binding);
    return box;
}

QComboBox* NewChoice(QWidget* panel, const char* name, const char* key,
                     std::initializer_list<std::pair<const char*, const char*>> items) {
    auto* choice = new QComboBox(panel);
    choice->setObjectName(name);
    for (const auto& [text, value] : items)
        choice->addItem(QString::fromUtf8(text), QString::fromUtf8(value));
    Bind(choice, key);
    return choice;
}

QPlainTextEdit* NewMemo(QWidget* panel, const char* name, const char* key) {
    auto* memo = new QPlainTextEdit(panel);
    memo->setObjectName(name);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    if (key)
        Bind(memo, key);
    return memo;
}

QTableWidget* NewValueListEditor(QWidget* panel, const char* name) {
    auto* table = new QTableWidget(0, 2, panel);
    table->setObjectName(name);
    table->setHorizontalHeaderLabels({"Name", "Value"});
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setAlternatingRowColors(true);
    return table;
}

}  // namespace Ovrin
