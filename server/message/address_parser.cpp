// The address parser: a recursive descent with one cursor over the address fields of a header,
// writing the canonical token text; and FetchToken, which walks tokens of that text.
#include "server/message/address_parser.h"

#include <cstdint>

#include "common/exception.h"
#include "common/text.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

// Byte classes; bytes 128-255 belong to every class but atext.
bool IsAtext(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '/': case '=': case '?': case '^': case '_': case '`': case '{': case '|': case '}':
    case '~':
        return true;
    default:
        return false;
    }
}

bool IsNoWsCtl(unsigned char c) { return (c >= 1 && c <= 8) || c == 11 || c == 12 || (c >= 14 && c <= 31); }

bool IsCtext(unsigned char c) {
    return IsNoWsCtl(c) || (c >= 33 && c <= 39) || (c >= 42 && c <= 91) || c >= 93;
}

bool IsQtext(unsigned char c) { return IsNoWsCtl(c) || c == 33 || (c >= 35 && c <= 91) || c >= 93; }

bool IsDtext(unsigned char c) { return IsNoWsCtl(c) || (c >= 33 && c <= 90) || c >= 94; }

bool IsFws(unsigned char c) { return c == ' ' || c == '\t'; }

bool IsQuotedPairCharacter(unsigned char c) { return c != 0 && c != '\n' && c != '\r'; }

// Parentheses inside collected text would break the token structure, so they become braces.
char Collected(char c) {
    if (c == '(')
        return '{';
    if (c == ')')
        return '}';
    return c;
}

// The value is copied so that a NUL always ends it: no class contains NUL, so the cursor can
// never pass the end. Every rule reads at the cursor and advances it; the only nesting in the
// grammar (comments) is walked with a depth counter, not by recursion, so the stack stays
// flat and every byte is looked at a bounded number of times.
class CAddressParser {
public:
    explicit CAddressParser(std::string_view value) : input(value), cursor(input.c_str()) {}

    std::string MailboxListField() { return Finish(MailboxList()); }
    std::string MailboxField() { return Finish(Mailbox()); }
    std::string AddressListField() { return Finish(AddressList()); }

private:
    std::string input;
    const char* cursor;

    unsigned char At() const { return static_cast<unsigned char>(*cursor); }

    [[noreturn]] void Fail(const char* what, const char* from) const {
        throw CMessageException("%s at: %s", what, from);
    }

    // Unlike the NUL that ends the copy, a NUL inside the value does not end it: what follows
    // would otherwise vanish unseen by the rules.
    std::string Finish(std::string canonical) {
        if (cursor != input.c_str() + input.size())
            Fail("Failed to parse", cursor);
        return canonical;
    }

    static std::string Token(const char* name, const std::string& content) {
        std::string token(name);
        token += '(';
        token += content;
        token += ')';
        return token;
    }

    void SkipFws() {
        while (IsFws(At()))
            ++cursor;
    }

    // A quoted pair at the cursor (which is on the backslash); returns its character.
    char QuotedPair() {
        ++cursor;
        if (!IsQuotedPairCharacter(At()))
            Fail("Invalid quoted pair", cursor);
        return *cursor++;
    }

    // A comment at the cursor (which is on "("), nested comments included, dropped whole.
    void Comment() {
        ++cursor;
        size_t depth = 1;
        while (depth > 0) {
            unsigned char c = At();
            if (IsFws(c) || IsCtext(c)) {
                ++cursor;
            } else if (c == '\\') {
                QuotedPair();
            } else if (c == '(') {
                ++cursor;
                ++depth;
            } else if (c == ')') {
                ++cursor;
                --depth;
            } else {
                Fail("Closing parenthesis ()) expected", cursor);
            }
        }
    }

    void Cfws() {
        for (;;) {
            SkipFws();
            if (At() != '(')
                return;
            Comment();
        }
    }

    std::string Atom() {
        Cfws();
        std::string text;
        while (IsAtext(At()))
            text += *cursor++;
        Cfws();
        return text;
    }

    std::string DotAtom() {
        std::string text;
        const char* lastPeriod = nullptr;
        for (std::string atom = Atom(); !atom.empty(); atom = Atom()) {
            if (At() == '.') {
                lastPeriod = cursor++;
                atom += '.';
            }
            text += atom;
        }
        if (!text.empty() && text.back() == '.')
            Fail("Missing atom after period", lastPeriod);
        return text;
    }

    std::string QuotedString() { return Enclosed('"', '"', IsQtext, "Closing quote (\") expected"); }

    std::string DomainLiteral() { return Enclosed('[', ']', IsDtext, "Right square bracket (]) expected"); }

    // A quoted string or a domain literal: the text between the delimiters, unwrapped, with
    // folding white space as one blank each and quoted pairs as their character.
    std::string Enclosed(char open, char close, bool (*isText)(unsigned char), const char* closeError) {
        Cfws();
        std::string text;
        if (At() != open)
            return text;
        ++cursor;
        for (;;) {
            unsigned char c = At();
            if (IsFws(c)) {
                text += ' ';
                ++cursor;
            } else if (isText(c)) {
                text += Collected(*cursor++);
            } else if (c == '\\') {
                text += Collected(QuotedPair());
            } else {
                break;
            }
        }
        if (At() != close)
            Fail(closeError, cursor);
        ++cursor;
        Cfws();
        return text;
    }

    std::string Word() {
        std::string word = Atom();
        return word.empty() ? QuotedString() : word;
    }

    std::string Phrase() {
        std::string phrase;
        for (std::string word = Word(); !word.empty(); word = Word()) {
            if (!phrase.empty())
                phrase += ' ';
            phrase += word;
        }
        return phrase;
    }

    std::string LocalPart() {
        std::string text = DotAtom();
        if (text.empty())
            text = QuotedString();
        if (text.empty())
            Fail("Empty local-part", cursor);
        return Token("local-part", text);
    }

    std::string Domain() {
        std::string text = DotAtom();
        if (text.empty())
            text = DomainLiteral();
        if (text.empty())
            Fail("Empty domain", cursor);
        return Token("domain", text);
    }

    std::string AddrSpec() {
        std::string content = LocalPart();
        if (At() != '@')
            Fail("At (@) expected", cursor);
        ++cursor;
        return content + Domain();
    }

    std::string AngleAddr() {
        Cfws();
        if (At() != '<')
            Fail("Left angle bracket (<) expected", cursor);
        ++cursor;
        std::string content = AddrSpec();
        if (At() != '>')
            Fail("Right angle bracket (>) expected", cursor);
        ++cursor;
        Cfws();
        return content;
    }

    std::string Mailbox() {
        const char* start = cursor;
        std::string name = Phrase();
        return Mailbox(start, name);
    }

    // A mailbox whose leading phrase, begun at start, is parsed already: the display name
    // before an angle address, or else the first words of a bare address, parsed again as one.
    std::string Mailbox(const char* start, const std::string& name) {
        std::string content;
        if (At() != '<') {
            cursor = start;
            content = AddrSpec();
        } else {
            if (!name.empty())
                content = Token("display-name", name);
            content += AngleAddr();
        }
        return Token("mailbox", content);
    }

    std::string MailboxList() {
        std::string content = Mailbox();
        while (At() == ',') {
            ++cursor;
            content += Mailbox();
        }
        return Token("mailbox-list", content);
    }

    // A group whose display name is parsed already.
    std::string Group(const std::string& name) {
        if (name.empty())
            Fail("Empty group name", cursor);
        if (At() != ':')
            Fail("Colon (:) expected", cursor);
        ++cursor;
        Cfws();
        std::string content = Token("display-name", name);
        if (At() != ';')
            content += MailboxList();
        if (At() != ';')
            Fail("Semicolon (;) expected", cursor);
        ++cursor;
        Cfws();
        return Token("group", content);
    }

    std::string Address() {
        const char* start = cursor;
        std::string name = Phrase();
        return Token("address", At() == ':' ? Group(name) : Mailbox(start, name));
    }

    std::string AddressList() {
        std::string content = Address();
        while (At() == ',') {
            ++cursor;
            content += Address();
        }
        return Token("address-list", content);
    }
};

std::string ParseField(std::string_view name, std::string_view value) {
    if (value.empty())
        return std::string();
    std::string lowerName = ToLower(name);
    if (lowerName == "from")
        return CAddressParser(value).MailboxListField();
    if (lowerName == "sender")
        return CAddressParser(value).MailboxField();
    if (lowerName == "reply-to" || lowerName == "to" || lowerName == "cc")
        return CAddressParser(value).AddressListField();
    std::string text(value);
    for (char& c : text)
        c = Collected(c);
    return text;
}

}  // namespace

std::string ParseCanonical(std::string_view name, std::string_view value, bool& failed) {
    return Traced([&] {
        failed = false;
        try {
            return ParseField(name, value);
        } catch (const CMessageException& e) {
            failed = true;
            return std::string(e.what());
        } catch (...) {
            failed = true;
            return std::string("Unknown exception");
        }
    }, "ParseCanonical('%.*s', '%.*s', 0x%08x)", static_cast<int>(name.size()), name.data(),
       static_cast<int>(value.size()), value.data(),
       LabelAddress(&failed));
}

std::string_view FetchToken(std::string_view& canonical, std::string_view token) {
    for (size_t from = 0;;) {
        size_t at = canonical.find(token, from);
        if (at == std::string_view::npos)
            break;
        size_t open = at + token.size();
        if (open >= canonical.size() || canonical[open] != '(') {
            from = at + 1;
            continue;
        }
        size_t depth = 0;
        for (size_t i = open; i < canonical.size(); ++i) {
            if (canonical[i] == '(') {
                ++depth;
            } else if (canonical[i] == ')' && --depth == 0) {
                std::string_view content = canonical.substr(open + 1, i - open - 1);
                canonical.remove_prefix(i + 1);
                return content;
            }
        }
        break;
    }
    canonical = std::string_view();
    return std::string_view();
}

std::string FetchToken(std::string& canonical, std::string_view token) {
    return Traced([&] {
        std::string_view rest = canonical;
        std::string content(FetchToken(rest, token));
        canonical = std::string(rest);
        return content;
    }, "FetchToken('%s', '%.*s')", canonical.c_str(), static_cast<int>(token.size()), token.data());
}

}  // namespace Ovrin
