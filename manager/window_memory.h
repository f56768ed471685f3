// TWindowMemory: the sizes a person gave the manager's window, kept for the next start in a
// private file of that person's own: $XDG_CONFIG_HOME/ovrin/manager.conf (~/.config without
// it), one "name=value" line each.
#pragma once

#include <map>
#include <string>

namespace Ovrin {

class TWindowMemory {
public:
    // Reads the file; a missing or unreadable one remembers nothing.
    TWindowMemory();

    // The remembered whole number, or the fall-back when there is none or it is not a number.
    int Number(const std::string& name, int fallback) const;
    void SetNumber(const std::string& name, int value);
    // Writes the file (0600, its directories 0700); false when it cannot be written, which
    // costs only the memory.
    bool Save() const;

    static std::string Path();

private:
    std::map<std::string, std::string> values;
};

}  // namespace Ovrin
