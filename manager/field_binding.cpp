// Field binding: filling a panel's bound fields from a controller and reading them back.
#include "manager/field_binding.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QWidget>

#include "manager/globals.h"

namespace Ovrin {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace

void Bind(QWidget* field, const std::string& binding) { field->setProperty(kBindKeyProperty, Q(binding)); }

std::vector<TBoundField> BoundFields(QWidget* panel) {
    std::vector<TBoundField> fields;
    for (QWidget* widget : panel->findChildren<QWidget*>()) {
        std::string binding = S(widget->property(kBindKeyProperty).toString());
        if (binding.empty())
            continue;
        if (qobject_cast<QCheckBox*>(widget)) {
            TBoundField field{widget, TBoundField::TKind::CheckBox, "", "", ""};
            std::string rest;
            SplitAt(binding, "|", field.key, rest);
            SplitAt(rest, "|", field.offValue, field.onValue);
            fields.push_back(field);
        } else if (qobject_cast<QLineEdit*>(widget)) {
            fields.push_back({widget, TBoundField::TKind::Edit, binding, "", ""});
        } else if (qobject_cast<QPlainTextEdit*>(widget)) {
            fields.push_back({widget, TBoundField::TKind::Memo, binding, "", ""});
        } else if (qobject_cast<QComboBox*>(widget)) {
            fields.push_back({widget, TBoundField::TKind::Choice, binding, "", ""});
        }
    }
    return fields;
}

void LoadField(const TBoundField& field, const std::string& value) {
    switch (field.kind) {
    case TBoundField::TKind::Edit:
        static_cast<QLineEdit*>(field.widget)->setText(Q(value));
        break;
    case TBoundField::TKind::CheckBox:
        static_cast<QCheckBox*>(field.widget)->setChecked(value == field.onValue);
        break;
    case TBoundField::TKind::Memo: {
        QString text = Q(value);
        text.replace("\r\n", "\n");
        text.replace('\r', '\n');
        static_cast<QPlainTextEdit*>(field.widget)->setPlainText(text);
        break;
    }
    case TBoundField::TKind::Choice: {
        auto* choice = static_cast<QComboBox*>(field.widget);
        // A value written by hand stays as it is unless another item is chosen.
        int index = choice->findData(Q(value));
        if (index < 0) {
            choice->addItem(Q(value), Q(value));
            index = choice->count() - 1;
        }
        choice->setCurrentIndex(index);
        break;
    }
    }
}

std::string FieldValue(const TBoundField& field) {
    switch (field.kind) {
    case TBoundField::TKind::Edit:
        return S(static_cast<QLineEdit*>(field.widget)->text());
    case TBoundField::TKind::CheckBox:
        return static_cast<QCheckBox*>(field.widget)->isChecked() ? field.onValue : field.offValue;
    case TBoundField::TKind::Memo: {
        QString text = static_cast<QPlainTextEdit*>(field.widget)->toPlainText();
        text.replace("\r\n", "\n");
        text.replace('\r', '\n');
        text.replace("\n", "\r\n");
        return S(text);
    }
    case TBoundField::TKind::Choice:
        return S(static_cast<QComboBox*>(field.widget)->currentData().toString());
    }
    return "";
}

}  // namespace Ovrin
