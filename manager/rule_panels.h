// The editing panels of the ruleset editor, with their bound fields and value pickers. Each
// builder makes its panel once per window (through TTreeControl's FormPanel).
#pragma once

#include <string>

#include "manager/globals.h"

class QWidget;

namespace Ovrin {

QWidget* BuildRulesetPanel(QWidget* holder);
QWidget* BuildRulePanel(QWidget* holder);
QWidget* BuildMatchAnyPanel(QWidget* holder);
QWidget* BuildMatchRegexPanel(QWidget* holder);
QWidget* BuildMatchPythonPanel(QWidget* holder);
QWidget* BuildActionDispatchPanel(QWidget* holder);
QWidget* BuildActionPythonPanel(QWidget* holder);
QWidget* BuildActionRulesetPanel(QWidget* holder);

// The "Mailboxes" picker of the dispatch panel: the mailboxes, a separator, "<delete>" and
// "<contents>".
void FillMailboxMenu(QWidget* dispatchPanel, const TStringArray& mailboxes);

}  // namespace Ovrin
