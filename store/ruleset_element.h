// Reading and writing one element of a ruleset file: attribute and text values by relative
// XPath, the child elements of a path, and new children whose names and texts are made safe
// for storing (ToXmlText).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/xml_document.h"

namespace Ovrin {

// The text of the first node of the path relative to the element ("" for none, and for a
// null element).
std::string ReadElementText(xmlNodePtr element, const char* path);
// The number of the path: 1 to 10 plain digits, anything else reads as 0.
uint32_t ReadElementNumber(xmlNodePtr element, const char* path);
bool ReadElementBool(xmlNodePtr element, const char* path);
// The nodes of the path relative to the element, in document order.
std::vector<xmlNodePtr> SelectElements(xmlNodePtr element, const char* path);

xmlNodePtr AddChildElement(xmlNodePtr parent, const std::string& name);
// A child element holding the text.
xmlNodePtr AddTextElement(xmlNodePtr parent, const std::string& name, const std::string& text);
void SetElementAttribute(xmlNodePtr element, const std::string& name, const std::string& value);
inline const char* BoolText(bool value) { return value ? "true" : "false"; }

}  // namespace Ovrin
