// ApplyTemplate: the small template language the editors build new elements with. A template is
// a "/"-separated list of steps walked from a start node; "\/" stands for a slash inside a step.
#pragma once

#include <string>

#include "manager/document.h"

namespace Ovrin {

// Steps, each "name" or "name=value", acting on the current node (at first the start node):
//   @attr=value  sets the attribute on the current node
//   !path=value  moves to the first node the path selects, else appends an element of that name
//                with the value as its text and moves to it (the value is ignored when found)
//   ..           moves to the parent
//   -            removes all children of the current node
//   <name=value  inserts an element before the current node and moves to it
//   >name        inserts an element after the current node and moves to it
//   name=value   appends an element with the value as its text and moves to it
// Returns the node current after the last step.
TXmlNode ApplyTemplate(const TXmlNode& start, const std::string& templateText);

}  // namespace Ovrin
