// Fuzzes the header constructor and macro substitution. The first line of the input (up to
// the first LF) is a rule text for Apply, the rest is the raw header buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/exception.h"
#include "common/text.h"
#include "fuzz/fuzz_check.h"
#include "server/message/address_parser.h"
#include "server/message/message_header.h"

using namespace Ovrin;

namespace {

void ApplyAllWays(const CMessageHeader& header, std::string_view text) {
    for (CMessageHeader::CTransformation transformation : {CMessageHeader::CTransformation(nullptr),
                                                          &EscapeRegex, &EscapePython}) {
        try {
            header.Apply(text, transformation);
            FUZZ_CHECK(text.find("{{") == std::string_view::npos || CMessageHeader::ContainsApplicableMacros(text));
        } catch (const CMessageException&) {
            FUZZ_CHECK(text.find("{{") != std::string_view::npos || text.find("}}") != std::string_view::npos);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string_view rule = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
    std::string_view buffer = newline == std::string_view::npos ? input : input.substr(newline + 1);

    CMessageHeader header;
    try {
        header = CMessageHeader(buffer);
    } catch (const CMessageException&) {
        FUZZ_CHECK(!buffer.ends_with("\r\n") || buffer.front() == ' ' || buffer.front() == '\t');
        return 0;
    }
    FUZZ_CHECK(buffer.empty() == (header.GetValueCount("x-ovrin-quoted-header") == 0));

    ApplyAllWays(header, rule);

    CHeaderDictionary dictionary;
    header.DumpToPythonDictionary(dictionary);
    for (const auto& [key, count] : dictionary.integers) {
        std::string name = key.substr(0, key.size() - 6);  // without ":count"
        FUZZ_CHECK(count > 0 && header.GetValueCount(name) == static_cast<unsigned>(count));
        FUZZ_CHECK(dictionary.strings.at(name) == header.GetValue(name, 0));
        FUZZ_CHECK(header.GetValue(name, count).empty());
        // a macro naming the field yields its first non-empty value (empty names are skipped)
        if (!name.empty() && name.find_first_of("{}|") == std::string::npos) {
            std::string first;
            for (int i = 0; i < count && first.empty(); ++i)
                first = header.GetValue(name, i);
            FUZZ_CHECK(header.Apply("{{" + name + "}}") == first);
            ApplyAllWays(header, "<{{" + name + "|from}}>");
        }
    }

    // The mailbox fields hold exactly the mailboxes of the parsed address fields: nothing the
    // message itself brings.
    for (const char* field : {"from", "to", "reply-to", "sender", "cc"}) {
        std::string parsed = "x-ovrin-parsed-" + std::string(field);
        unsigned mailboxes = 0;
        for (unsigned i = 0; i < header.GetValueCount(parsed); ++i) {
            std::string canonical = header.GetValue(parsed, i);
            std::string_view rest = canonical;
            while (!FetchToken(rest, "mailbox").empty())
                ++mailboxes;
        }
        FUZZ_CHECK(header.GetValueCount(parsed + "-mailbox") == mailboxes);
    }
    return 0;
}
