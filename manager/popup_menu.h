// The tree's popup menu, built from entries whose levels are separated by "|".
#pragma once

#include <functional>
#include <string>

#include "manager/globals.h"

class QMenu;

namespace Ovrin {

// Rebuilds the menu; at each level an item of the same caption is reused. A click hands the
// clicked item's own caption (the last part of its path) to the command.
void BuildPopupMenu(QMenu& menu, const TStringArray& entries, const std::function<void(const std::string&)>& command);

}  // namespace Ovrin
