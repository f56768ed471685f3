// CMessageHeader: unfolding of the raw header, the derived x-ovrin- fields, macro substitution
// and the plain dictionary form for rule scripts.
#include "server/message/message_header.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/exception.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "server/message/address_parser.h"

namespace Ovrin {

namespace {

constexpr std::string_view kFoldingWhitespace = " \t";

bool IsFoldingWhitespace(char c) { return c == ' ' || c == '\t'; }

bool IsMailboxField(std::string_view name) {
    return name == "from" || name == "to" || name == "reply-to" || name == "sender" || name == "cc";
}

// A message field such as "From-Mailbox" would otherwise land its own value under the
// x-ovrin-parsed-from-mailbox name that rules trust to hold only the parsed From mailboxes.
bool ShadowsMailboxField(std::string_view name) {
    return name.ends_with(kParsedMailboxSuffix) &&
           IsMailboxField(name.substr(0, name.size() - kParsedMailboxSuffix.size()));
}

// Trace labels print text arguments with "%.*s", so no copy is made unless something fails.
int Length(std::string_view text) { return static_cast<int>(text.size()); }

}  // namespace

namespace {

// The arena's first block: enough for the header of a typical message with the server's fields.
constexpr size_t kArenaStart = 16384;

}  // namespace

CMessageHeader::CMessageHeader()
    : arena(std::make_unique<std::pmr::monotonic_buffer_resource>(kArenaStart)), fields(arena.get()) {}

CMessageHeader::CMessageHeader(const CMessageHeader& other)
    : arena(std::make_unique<std::pmr::monotonic_buffer_resource>(kArenaStart)), fields(other.fields, arena.get()) {}

CMessageHeader& CMessageHeader::operator=(const CMessageHeader& other) {
    if (this != &other)
        fields = other.fields;
    return *this;
}

CMessageHeader::CMessageHeader(std::string_view buffer) : CMessageHeader() {
    Traced([&] {
        if (buffer.empty())
            return;
        // Both structural checks come first, so that a rejected header logs nothing else.
        if (!buffer.ends_with("\r\n"))
            throw CMessageException("Unexpected buffer format: no trailing CRLF found");
        if (IsFoldingWhitespace(buffer.front()))
            throw CMessageException("Header may not begin with folding whitespace");

        std::string quotation;
        std::string logical;
        auto store = [&] {
            if (logical.empty())
                return;
            AddLine(logical);
            quotation += "> ";
            quotation += logical;
            quotation += '\n';
        };
        for (size_t from = 0; from < buffer.size();) {
            size_t end = buffer.find("\r\n", from);
            std::string_view line = buffer.substr(from, end - from);
            from = end + 2;
            if (!line.empty() && IsFoldingWhitespace(line.front())) {
                size_t text = line.find_first_not_of(kFoldingWhitespace);
                if (text != std::string_view::npos) {
                    logical += ' ';
                    logical += line.substr(text);
                }
            } else {
                store();
                logical.assign(line);
            }
        }
        store();
        AddValue(kQuotedHeaderField, quotation);
    }, "CMessageHeader::CMessageHeader('%.*s')", Length(buffer), buffer.data());
}

void CMessageHeader::AddLine(std::string_view line) {
    Traced([&] {
        std::string name;
        std::string value;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            name = ToLower(Trim(line));
        } else {
            name = ToLower(Trim(line.substr(0, colon)));
            value = Trim(line.substr(colon + 1));
        }
        if (name.starts_with(kServerFieldPrefix))
            return;
        AddValue(name, value);
        if (ShadowsMailboxField(name))
            return;

        bool failed = false;
        std::string canonical = ParseCanonical(name, value, failed);
        if (failed) {
            Logger().Warning("CMessageHeader::AddLine('%.*s'): Invalid '%s' header field: '%s', parsing error: "
                             "'%s', parsed value is set to empty string",
                             Length(line), line.data(), name.c_str(), value.c_str(), canonical.c_str());
            canonical.clear();
        }
        std::string parsedName = std::string(kParsedFieldPrefix) + name;
        AddValue(parsedName, canonical);

        if (!IsMailboxField(name))
            return;
        std::string mailboxName = parsedName + std::string(kParsedMailboxSuffix);
        std::string_view rest = canonical;
        for (std::string_view mailbox = FetchToken(rest, "mailbox"); !mailbox.empty();
             mailbox = FetchToken(rest, "mailbox")) {
            std::string address(FetchToken(mailbox, "local-part"));
            address += '@';
            address += FetchToken(mailbox, "domain");
            AddValue(mailboxName, address);
        }
    }, "CMessageHeader::AddLine('%.*s')", Length(line), line.data());
}

void CMessageHeader::AddValue(std::string_view name, std::string_view value) {
    Traced([&] {
        std::string lowered;
        const std::string_view key = Key(name, lowered);
        // One search for both the lookup and the place of a new name.
        auto field = fields.lower_bound(key);
        if (field == fields.end() || field->first != key)
            field = fields.emplace_hint(field, std::piecewise_construct, std::forward_as_tuple(key),
                                        std::forward_as_tuple());
        field->second.emplace_back(value);
    }, "CMessageHeader::AddValue('%.*s', '%.*s')", Length(name), name.data(), Length(value), value.data());
}

// Names are mostly lower case already; only the others pay for a lower-cased copy, made in
// `lowered`.
std::string_view CMessageHeader::Key(std::string_view name, std::string& lowered) {
    const bool lower = std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    if (lower && name.find('\0') == std::string_view::npos)
        return name;
    lowered = ToLower(name);
    return lowered;
}

CMessageHeader::CFields::const_iterator CMessageHeader::Find(std::string_view name) const {
    std::string lowered;
    return fields.find(Key(name, lowered));
}

unsigned CMessageHeader::GetValueCount(std::string_view name) const {
    return Traced([&] {
        auto it = Find(name);
        return it == fields.end() ? 0u : static_cast<unsigned>(it->second.size());
    }, "CMessageHeader::GetValueCount('%.*s')", Length(name), name.data());
}

std::string CMessageHeader::GetValue(std::string_view name, unsigned index) const {
    return Traced([&] {
        auto it = Find(name);
        if (it == fields.end() || index >= it->second.size())
            return std::string();
        return std::string(it->second[index]);
    }, "CMessageHeader::GetValue('%.*s', %u)", Length(name), name.data(), index);
}

std::string CMessageHeader::Apply(std::string_view text, CTransformation transformation) const {
    return Traced([&] {
        std::string result;
        for (std::string_view rest = text; !rest.empty();) {
            size_t open = rest.find("{{");
            size_t close = rest.find("}}");
            if (open == std::string_view::npos && close == std::string_view::npos) {
                result += rest;
                break;
            }
            if (open == std::string_view::npos || close == std::string_view::npos || close < open)
                throw CMessageException("Mismatched substitution parentheses {{...}} in '%s'",
                                        std::string(text).c_str());
            result += rest.substr(0, open);
            std::string_view body = rest.substr(open + 2, close - open - 2);
            rest.remove_prefix(close + 2);
            if (body.find("{{") != std::string_view::npos)
                throw CMessageException("Nested substitution parentheses {{...}} in '%s'",
                                        std::string(text).c_str());

            std::string value;
            while (value.empty() && !body.empty()) {
                size_t bar = body.find('|');
                std::string_view name = body.substr(0, bar);
                body = bar == std::string_view::npos ? std::string_view() : body.substr(bar + 1);
                if (name.empty())
                    continue;
                unsigned count = GetValueCount(name);
                for (unsigned i = 0; i < count && value.empty(); ++i)
                    value = GetValue(name, i);
            }
            result += transformation ? transformation(value) : value;
        }
        return result;
    }, "CMessageHeader::Apply('%.*s', 0x%08x)", Length(text), text.data(),
       LabelAddress(reinterpret_cast<const void*>(transformation)));
}

bool CMessageHeader::ContainsApplicableMacros(std::string_view text) {
    return Traced([&] {
        return text.find("{{") != std::string_view::npos && text.find("}}") != std::string_view::npos;
    }, "CMessageHeader::ContainsApplicableMacros('%.*s')", Length(text), text.data());
}

void CMessageHeader::DumpToPythonDictionary(CHeaderDictionary& target) const {
    Traced([&] {
        for (const auto& [arenaName, values] : fields) {
            const std::string name(arenaName);
            target.integers[name + ":count"] = static_cast<int32_t>(values.size());
            for (size_t i = 0; i < values.size(); ++i)
                target.strings[name + ":" + std::to_string(i)] = std::string(values[i]);
            target.strings[name] = std::string(values.front());
        }
    }, "CMessageHeader::DumpToPythonDictionary(0x%08x)", LabelAddress(&target));
}

}  // namespace Ovrin
