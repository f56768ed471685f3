// Help for a panel: the section of the README shipped beside the manager's program file (an
// installed Ovrin holds it), shown in the manager's own window.
#pragma once

#include <string>
#include <string_view>

namespace Ovrin {

// The section under the heading of that title, heading included, up to the next heading of the
// same or a higher level; empty when the text has no such heading.
std::string MarkdownSection(std::string_view text, std::string_view title);

// Shows the README's section of that title; throws when the file or the section is missing.
void ShowReadmeSection(const std::string& title);

}  // namespace Ovrin
