// The pieces the editing panels are built of, so that every panel looks alike: a titled panel,
// bound line edits and choices, and the two-column value list editor.
#pragma once

#include <initializer_list>
#include <utility>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QTableWidget;
class QVBoxLayout;
class QWidget;

namespace Ovrin {

// A panel with a bold title line and a vertical layout.
QWidget* NewPanel(QWidget* holder, const char* title);
// The same layout and title for a panel of its own class.
QVBoxLayout* AddTitledLayout(QWidget* panel, const char* title);
QVBoxLayout* Layout(QWidget* panel);
// A line edit bound to the key (none when key is null).
QLineEdit* NewEdit(QWidget* panel, const char* name, const char* key, bool readOnly = false);
// A check box bound as "key|off value|on value".
QCheckBox* NewCheckBox(QWidget* panel, const char* name, const char* caption, const char* binding);
// A choice among the items, (text shown, value) each, bound to the key.
QComboBox* NewChoice(QWidget* panel, const char* name, const char* key,
                     std::initializer_list<std::pair<const char*, const char*>> items);
// A memo in a fixed font without wrapping, bound to the key (none when key is null).
QPlainTextEdit* NewMemo(QWidget* panel, const char* name, const char* key);
// A "Name"/"Value" table whose rows are parameters.
QTableWidget* NewValueListEditor(QWidget* panel, const char* name);

}  // namespace Ovrin
