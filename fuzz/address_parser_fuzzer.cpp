// Fuzzes ParseCanonical with the input as the value of each kind of field, and walks the
// mailboxes of every canonical text it produces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/message/address_parser.h"

using namespace Ovrin;

namespace {

bool IsKnownError(const std::string& text) {
    static const char* const prefixes[] = {
        "Failed to parse at: ", "Closing parenthesis ()) expected at: ", "Invalid quoted pair at: ",
        "Missing atom after period at: ", "Closing quote (\") expected at: ",
        "Right square bracket (]) expected at: ", "Empty local-part at: ", "Empty domain at: ",
        "At (@) expected at: ", "Left angle bracket (<) expected at: ",
        "Right angle bracket (>) expected at: ", "Empty group name at: ", "Colon (:) expected at: ",
        "Semicolon (;) expected at: "};
    for (const char* prefix : prefixes)
        if (text.starts_with(prefix))
            return true;
    return false;
}

bool IsBalanced(std::string_view text) {
    long depth = 0;
    for (char c : text) {
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (depth < 0)
            return false;
    }
    return depth == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"from", "Sender", "to", "cc", "reply-to", "subject"}) {
        bool failed = true;
        std::string canonical = ParseCanonical(name, value, failed);
        if (value.empty()) {
            FUZZ_CHECK(!failed && canonical.empty());
            continue;
        }
        if (std::string_view(name) == "subject") {
            FUZZ_CHECK(!failed && canonical.size() == value.size());
            FUZZ_CHECK(canonical.find_first_of("()") == std::string::npos);
            continue;
        }
        if (failed) {
            FUZZ_CHECK(IsKnownError(canonical));
            continue;
        }
        FUZZ_CHECK(IsBalanced(canonical));
        std::string_view rest = canonical;
        size_t mailboxes = 0;
        for (std::string_view mailbox = FetchToken(rest, "mailbox"); !mailbox.empty();
             mailbox = FetchToken(rest, "mailbox")) {
            FUZZ_CHECK(!FetchToken(mailbox, "local-part").empty());
            FUZZ_CHECK(!FetchToken(mailbox, "domain").empty());
            ++mailboxes;
        }
        bool mayBeEmptyGroup = std::string_view(name) != "from" && std::string_view(name) != "Sender";
        FUZZ_CHECK(mailboxes > 0 || mayBeEmptyGroup);
        // the string form walks the same way
        std::string copy = canonical;
        FUZZ_CHECK(!FetchToken(copy, mayBeEmptyGroup ? "address" : "mailbox").empty());
    }
    return 0;
}
