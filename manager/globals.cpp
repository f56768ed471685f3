// The manager's shared utilities over the common file layer and libuuid.
#include "manager/globals.h"

#include <cctype>
#include <mutex>

#include <uuid/uuid.h>

#include "common/exception.h"
#include "common/file.h"

namespace Ovrin {

namespace {

struct TDirectories {
    std::mutex lock;
    std::string manager;
    std::string mail;
};

TDirectories& Directories() {
    static TDirectories directories;
    return directories;
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

std::string ManagerDirectory() {
    std::lock_guard hold(Directories().lock);
    return Directories().manager;
}

void SetManagerDirectory(const std::string& directory) {
    std::lock_guard hold(Directories().lock);
    std::string value = directory;
    while (value.size() > 1 && value.back() == '/')
        value.pop_back();
    Directories().manager = value;
}

std::string MailDirectory() {
    std::lock_guard hold(Directories().lock);
    return Directories().mail;
}

void SetMailDirectory(const std::string& directory) {
    std::lock_guard hold(Directories().lock);
    Directories().mail = directory;
}

CMailStore MailStore() { return CMailStore(MailDirectory()); }

std::string TrimBlanks(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

void SplitAt(std::string_view text, std::string_view separator, std::string& head, std::string& tail) {
    size_t found = std::string_view::npos;
    if (!separator.empty() && separator.size() <= text.size()) {
        for (size_t i = 0; i + separator.size() <= text.size() && found == std::string_view::npos; ++i) {
            size_t j = 0;
            while (j < separator.size() &&
                   std::tolower(static_cast<unsigned char>(text[i + j])) ==
                       std::tolower(static_cast<unsigned char>(separator[j])))
                ++j;
            if (j == separator.size())
                found = i;
        }
    }
    if (found == std::string_view::npos) {
        head = std::string(text);
        tail.clear();
        return;
    }
    head = TrimBlanks(text.substr(0, found));
    tail = TrimBlanks(text.substr(found + separator.size()));
}

std::optional<std::string> ReadFileBytes(const std::string& path, uint32_t limit, uint32_t flags) {
    try {
        CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, flags);
        std::string bytes;
        char buffer[65536];
        for (uint32_t got; bytes.size() < limit && (got = file.Read(buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, got);
        return bytes.substr(0, limit);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

TStringArray ListFiles(const std::string& mask, const std::string& directory) {
    TStringArray names;
    names.reserve(32);
    CFileInfoList files = CFile::EnumerateFiles(directory, mask);
    for (const auto& file : *files)
        names.push_back(file.name);
    return names;
}

TStringArray ListDirectories(const std::string& mask, const std::string& directory) {
    TStringArray names;
    names.reserve(32);
    CDirInfoList dirs = CFile::EnumerateDirs(directory, mask);
    for (const auto& dir : *dirs)
        if (dir.name != "." && dir.name != "..")
            names.push_back(dir.name);
    return names;
}

std::string NewGuidString() {
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}

TStringArray StringArray(const QVariantList& values) {
    TStringArray result;
    result.reserve(values.size());
    for (const QVariant& value : values) {
        if (value.typeId() != QMetaType::QString && value.typeId() != QMetaType::QByteArray)
            throw CMessageException("StringArray expects input to be an array of strings");
        result.push_back(value.typeId() == QMetaType::QString ? value.toString().toStdString()
                                                               : value.toByteArray().toStdString());
    }
    return result;
}

}  // namespace Ovrin
