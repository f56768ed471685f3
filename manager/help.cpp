#include "manager/help.h"

#include <fstream>
#include <sstream>

#include "common/exception.h"
#include "manager/dialogs.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

// The level of a heading line ("## Title" is 2), 0 for any other line.
size_t HeadingLevel(std::string_view line) {
    size_t level = line.find_first_not_of('#');
    return level > 0 && level != std::string_view::npos && line[level] == ' ' ? level : 0;
}

}  // namespace

std::string MarkdownSection(std::string_view text, std::string_view title) {
    size_t level = 0, start = 0, at = 0;
    bool inCode = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (line.substr(0, 3) == "```")
            inCode = !inCode;
        size_t heading = inCode ? 0 : HeadingLevel(line);
        if (heading > 0 && level > 0 && heading <= level)
            return std::string(text.substr(start, at - start));
        if (heading > 0 && level == 0 && line.substr(heading + 1) == title) {
            level = heading;
            start = at;
        }
        at = next;
    }
    return level > 0 ? std::string(text.substr(start)) : "";
}

void ShowReadmeSection(const std::string& title) {
    const std::string path = ManagerDirectory() + "/README.md";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw CMessageException("The help file %s cannot be read.", path.c_str());
    std::ostringstream text;
    text << file.rdbuf();
    std::string section = MarkdownSection(text.str(), title);
    if (section.empty())
        throw CMessageException("The help file %s has no section \"%s\".", path.c_str(), title.c_str());
    Dialogs().Help(title, section, ManagerDirectory());
}

}  // namespace Ovrin
