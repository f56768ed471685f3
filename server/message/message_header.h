// CMessageHeader: the parsed header of one message as lower-case field names with ordered value
// lists, the fields derived from it (x-ovrin-parsed-..., x-ovrin-quoted-header) and the
// substitution of {{name|name}} macros into rule texts.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "server/message/header_dictionary.h"

namespace Ovrin {

// Every field the server makes itself begins with this; a message cannot bring such fields.
inline constexpr std::string_view kServerFieldPrefix = "x-ovrin-";
// The whole header as a quotation: each unfolded line as "> " + line + LF.
inline constexpr std::string_view kQuotedHeaderField = "x-ovrin-quoted-header";
// Prefix of the canonical text of each stored field ("x-ovrin-parsed-from"), and the suffix
// of the mailboxes found in from, to, reply-to, sender and cc ("x-ovrin-parsed-from-mailbox").
inline constexpr std::string_view kParsedFieldPrefix = "x-ovrin-parsed-";
inline constexpr std::string_view kParsedMailboxSuffix = "-mailbox";

// Not locked: message processing adds its values before the header is handed to the rules,
// which only read it.
class CMessageHeader {
public:
    // Applied to each macro value before it is inserted: EscapeRegex, EscapePython (common/text.h)
    // or nullptr for none.
    using CTransformation = std::string (*)(std::string_view);

    // An empty header.
    CMessageHeader();
    CMessageHeader(const CMessageHeader& other);
    // Copies into this header's own arena.
    CMessageHeader& operator=(const CMessageHeader& other);
    // Unfolds and stores the lines of a raw header, each ended by CRLF. Throws
    // "Unexpected buffer format: no trailing CRLF found" and
    // "Header may not begin with folding whitespace"; an empty buffer gives an empty header.
    explicit CMessageHeader(std::string_view buffer);

    // Stores one unfolded line "Name: value" with its parsed fields; lines named x-ovrin-...
    // are ignored. An address value that does not parse is logged as a warning and gets an
    // empty parsed field.
    void AddLine(std::string_view line);
    // Appends a value under the lower-cased name.
    void AddValue(std::string_view name, std::string_view value);

    // Names are looked up case-insensitively.
    unsigned GetValueCount(std::string_view name) const;
    // The empty string when the name is absent or the index is out of range.
    std::string GetValue(std::string_view name, unsigned index) const;

    // The text with each macro {{a|b|...}} replaced by the first non-empty value of the named
    // fields (empty if none), passed through the transformation. Throws
    // "Mismatched substitution parentheses {{...}} in '%s'" and
    // "Nested substitution parentheses {{...}} in '%s'".
    std::string Apply(std::string_view text, CTransformation transformation = nullptr) const;
    // True when the text holds both "{{" and "}}", in any order.
    static bool ContainsApplicableMacros(std::string_view text);

    // For each name: "name:count" (integer), "name:0".."name:n-1" and "name" (value 0).
    void DumpToPythonDictionary(CHeaderDictionary& target) const;

private:
    using CText = std::pmr::string;
    using CFields = std::pmr::map<CText, std::pmr::vector<CText>, std::less<>>;

    // The name as stored: itself, or its lower-cased copy made in `lowered`.
    static std::string_view Key(std::string_view name, std::string& lowered);
    // The field of the name, looked up case-insensitively.
    CFields::const_iterator Find(std::string_view name) const;

    // Every name and value of the header lives in this arena and goes with it at once: a header
    // is a few hundred small texts, made on the timer thread and dropped on a worker, and the
    // allocator's work for them was a third of the cost of filing a message.
    std::unique_ptr<std::pmr::monotonic_buffer_resource> arena;
    // Sorted by name (byte order); a present name has at least one value.
    CFields fields;
};

using CMessageHeaderPtr = std::shared_ptr<CMessageHeader>;

}  // namespace Ovrin
