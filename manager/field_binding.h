// Field binding: an editing panel's fields name the value keys they show through the dynamic
// property "bindKey". A line edit, memo or choice (combo box) carries the key; a check box
// carries "key|off-value|on-value". Fields without the property are not bound.
#pragma once

#include <string>
#include <vector>

class QWidget;

namespace Ovrin {

constexpr const char* kBindKeyProperty = "bindKey";

struct TBoundField {
    enum class TKind { Edit, CheckBox, Memo, Choice };
    QWidget* widget;
    TKind kind;
    std::string key;
    std::string offValue;  // check boxes only
    std::string onValue;
};

// The bound fields of a panel in the panel's order.
std::vector<TBoundField> BoundFields(QWidget* panel);

void Bind(QWidget* field, const std::string& binding);

// A check box is checked only for its on-value; a memo shows every line break as a new line; a
// choice selects the item whose data is the value, shown as an item of its own if none is.
void LoadField(const TBoundField& field, const std::string& value);
// Edits as typed, memos with CR LF line ends, check boxes their on- or off-value, choices the
// data of the selected item.
std::string FieldValue(const TBoundField& field);

}  // namespace Ovrin
