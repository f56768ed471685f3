// The manager's shared utilities: the manager and mail directories, text splitting and trimming,
// directory listings, GUIDs and the array of texts in which controllers hand over menu entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QVariantList>

#include "store/mail_store.h"

namespace Ovrin {

using TStringArray = std::vector<std::string>;

// The directory of the manager's program file (no trailing "/"), where config.xml and ovrin.log
// live. Tests point it elsewhere.
std::string ManagerDirectory();
void SetManagerDirectory(const std::string& directory);

// The server's mail-directory while it is seen running; empty when not fetched.
std::string MailDirectory();
void SetMailDirectory(const std::string& directory);
// The mail store under that directory.
CMailStore MailStore();

// Without blanks and control characters at either end.
std::string TrimBlanks(std::string_view text);

// Splits at the first separator (letter case ignored); both parts trimmed. Without one, head is
// the whole text unchanged and tail is empty.
void SplitAt(std::string_view text, std::string_view separator, std::string& head, std::string& tail);

// The file's bytes up to the limit (all of them without one), through the file layer; nothing
// when it cannot be opened or read. Flags as CFile takes them.
std::optional<std::string> ReadFileBytes(const std::string& path, uint32_t limit = UINT32_MAX,
                                         uint32_t flags = 0);

// Names of the plain files (or directories other than "." and "..") matching the mask.
TStringArray ListFiles(const std::string& mask, const std::string& directory);
TStringArray ListDirectories(const std::string& mask, const std::string& directory);

// A new GUID, 8-4-4-4-12 lower-case hex digits without braces.
std::string NewGuidString();

// Copies a list of texts; anything else fails with "StringArray expects input to be an array of
// strings".
TStringArray StringArray(const QVariantList& values);

}  // namespace Ovrin
