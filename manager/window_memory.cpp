// TWindowMemory: the window's sizes between starts.
#include "manager/window_memory.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "common/file.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config" : std::string();
}

}  // namespace

std::string TWindowMemory::Path() {
    std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/ovrin/manager.conf";
}

TWindowMemory::TWindowMemory() {
    const std::string path = Path();
    std::error_code missing;
    if (path.empty() || !std::filesystem::is_regular_file(path, missing))
        return;
    const std::optional<std::string> text = ReadFileBytes(path, 65536, CFile::NO_FOLLOW);
    if (!text)
        return;
    std::istringstream lines(*text);
    for (std::string line, name, value; std::getline(lines, line);) {
        SplitAt(line, "=", name, value);
        if (!name.empty())
            values[name] = value;
    }
}

int TWindowMemory::Number(const std::string& name, int fallback) const {
    auto found = values.find(name);
    if (found == values.end())
        return fallback;
    int number = 0;
    const std::string& text = found->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() ? number : fallback;
}

void TWindowMemory::SetNumber(const std::string& name, int value) { values[name] = std::to_string(value); }

bool TWindowMemory::Save() const {
    const std::string path = Path();
    if (path.empty())
        return false;
    // Each missing directory is made private; ones that exist are left as their owner keeps them.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        std::error_code missing;
        if (!std::filesystem::is_directory(directory, missing) && !CFile::CreateDirectory(directory))
            return false;
    }
    std::string text;
    for (const auto& [name, value] : values)
        text += name + "=" + value + "\n";
    try {
        CFile file(path, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_ALWAYS, CFile::NO_FOLLOW);
        file.Write(text.data(), static_cast<uint32_t>(text.size()));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace Ovrin
