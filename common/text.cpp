// The text helpers: trimming, case folding, replacing, escaping, times, Base64 and numbers.
#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>

#include <boost/regex.hpp>

#include "common/exception.h"
#include "common/format.h"
#include "common/trace.h"
#include "common/validators.h"

namespace Ovrin {

namespace {

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

template <class Fold>
std::string FoldCase(std::string_view text, Fold fold) {
    std::string result(UpToNul(text));
    for (char& c : result)
        c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace

std::string Trim(std::string_view text) {
    static constexpr std::string_view blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return std::string();
    size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

// ASCII only, whatever locale a library has set: field names and mailbox names must fold the
// same way on every machine, and this runs for every header field of every message.
std::string ToLower(std::string_view text) {
    return FoldCase(text, [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; });
}

std::string ToUpper(std::string_view text) {
    return FoldCase(text, [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; });
}

std::string Replace(std::string_view text, std::string_view what, std::string_view with) {
    return Traced([&] {
        if (what.empty())
            throw CMessageException("Replace() needs a non-empty search text");
        std::string result;
        size_t from = 0;
        for (size_t at; (at = text.find(what, from)) != std::string_view::npos; from = at + what.size()) {
            result.append(text.substr(from, at - from));
            result.append(with);
        }
        result.append(text.substr(from));
        return result;
    }, "Replace('%s', '%s', '%s')", std::string(text).c_str(), std::string(what).c_str(),
       std::string(with).c_str());
}

namespace {

bool IsControlOrHigh(unsigned char byte) { return byte < 0x20 || byte >= 0x7F; }

// The length of the well-formed UTF-8 sequence at the start of the text (0 if there is none)
// and its code point: the sequences Python's strict decoder accepts, no more.
size_t Utf8Sequence(std::string_view text, uint32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    return length;
}

}  // namespace

std::string EscapeRegex(std::string_view text) {
    static constexpr std::string_view special = ".|*?+(){}[]^$\\";
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // As escapes the pattern is plain ASCII: it survives the XML file and matches the byte itself.
        if (IsControlOrHigh(byte)) {
            result += Format("\\x%02X", byte);
            continue;
        }
        if (special.find(c) != std::string_view::npos)
            result += '\\';
        result += c;
    }
    return result;
}

std::string EscapePython(std::string_view text) {
    // Decoded as the headers dictionary decodes it (UTF-8, every other byte as a lone
    // surrogate) and written in ASCII escapes, so the value stays inside any string literal
    // and reads back as the dictionary's text.
    std::string result;
    result.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\\' || byte == '\'' || byte == '"') {
            result += '\\';
            result += static_cast<char>(byte);
            ++at;
        } else if (byte < 0x80 && IsControlOrHigh(byte)) {
            result += Format("\\x%02x", byte);
            ++at;
        } else if (byte < 0x80) {
            result += static_cast<char>(byte);
            ++at;
        } else {
            uint32_t codePoint = 0;
            const size_t length = Utf8Sequence(text.substr(at), codePoint);
            if (length == 0)
                codePoint = 0xDC00 + byte;
            result += codePoint > 0xFFFF ? Format("\\U%08x", codePoint) : Format("\\u%04x", codePoint);
            at += length == 0 ? 1 : length;
        }
    }
    return result;
}

std::string ReplaceControlCharacters(std::string_view text, bool all) {
    std::string result(text);
    for (char& c : result) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && (all || (byte != '\r' && byte != '\n' && byte != '\t')))
            c = ' ';
    }
    return result;
}

std::string TimeToString(time_t time) {
    return Traced([&] {
        tm local{};
        localtime_r(&time, &local);
        char buffer[64];
        size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
        return std::string(buffer, n);
    }, "TimeToString(%u)", static_cast<unsigned>(time));
}

std::optional<time_t> ParseTime(const std::string& text) {
    boost::smatch m;
    if (!boost::regex_match(text, m, DateTimePattern()) || m.size() < 7)
        return std::nullopt;
    for (size_t i = 1; i <= 6; ++i)
        if (!m[i].matched)
            return std::nullopt;
    tm fields{};
    fields.tm_year = std::atoi(m[1].str().c_str()) - 1900;
    fields.tm_mon = std::atoi(m[2].str().c_str()) - 1;
    fields.tm_mday = std::atoi(m[3].str().c_str());
    fields.tm_hour = std::atoi(m[4].str().c_str());
    fields.tm_min = std::atoi(m[5].str().c_str());
    fields.tm_sec = std::atoi(m[6].str().c_str());
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

time_t StringToTime(const std::string& text) {
    return Traced([&] {
        std::optional<time_t> time = ParseTime(text);
        if (!time)
            throw CMessageException("Invalid date/time value: %s", text.c_str());
        return *time;
    }, "StringToTime('%s')", text.c_str());
}

std::string DecodeBASE64(std::string_view text) {
    return Traced([&] {
        enum : unsigned char { Skip = 64, Pad = 65, End = 66 };
        static const auto table = [] {
            std::vector<unsigned char> t(256, Skip);
            for (int i = 0; i < 26; ++i) {
                t['A' + i] = static_cast<unsigned char>(i);
                t['a' + i] = static_cast<unsigned char>(26 + i);
            }
            for (int i = 0; i < 10; ++i)
                t['0' + i] = static_cast<unsigned char>(52 + i);
            t['+'] = 62;
            t['/'] = 63;
            t['='] = Pad;
            t[0] = End;
            return t;
        }();
        if (text.empty())
            return std::string();
        std::vector<unsigned char> sextets;
        sextets.reserve((text.size() + 3) / 4 * 4);
        size_t pads = 0;
        for (char c : text) {
            unsigned char value = table[static_cast<unsigned char>(c)];
            if (value == End)
                break;
            if (value == Skip)
                continue;
            if (value == Pad)
                ++pads;
            sextets.push_back(value);
        }
        if (pads > 2 || sextets.empty() || sextets.size() % 4 != 0)
            return std::string();
        std::string result;
        for (size_t i = 0; i < sextets.size(); i += 4) {
            unsigned s0 = sextets[i], s1 = sextets[i + 1], s2 = sextets[i + 2], s3 = sextets[i + 3];
            result += static_cast<char>((s0 << 2 | s1 >> 4) & 0xFF);
            result += static_cast<char>((s1 << 4 | s2 >> 2) & 0xFF);
            result += static_cast<char>((s2 << 6 | s3) & 0xFF);
        }
        result.resize(result.size() - pads);
        return result;
    }, "DecodeBASE64('%s')", std::string(text).c_str());
}

std::string EncodeBASE64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string result;
    result.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        const size_t count = std::min<size_t>(3, bytes.size() - at);
        uint32_t group = 0;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (size_t i = 0; i < 4; ++i)
            result += i <= count ? kAlphabet[(group >> (18 - 6 * i)) & 0x3F] : '=';
    }
    return result;
}

int32_t AtoI(std::string_view text) {
    std::string copy(UpToNul(text));
    errno = 0;
    long long value = std::strtoll(copy.c_str(), nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace Ovrin
