// The text conversions at the XML boundary: what goes in is made valid UTF-8 of XML characters
// with LF line ends, what comes out gets CR LF line ends.
#include <string>

#include "common/text.h"
#include "common/xml_document.h"

namespace Ovrin {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool IsAllowedSingleByte(unsigned char byte) {
    return byte < 0x80 && (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r');
}

// Sequences whose bytes have the right shape but that libxml2 refuses when it reads the file
// back: overlong forms, UTF-16 surrogates and the non-characters U+FFFE and U+FFFF. Storing one
// would leave a document that can no longer be loaded.
bool IsRefusedSequence(const unsigned char* bytes, size_t length) {
    if (length == 2)
        return bytes[0] < 0xC2;
    return (bytes[0] == 0xE0 && bytes[1] < 0xA0) || (bytes[0] == 0xED && bytes[1] >= 0xA0) ||
           (bytes[0] == 0xEF && bytes[1] == 0xBF && bytes[2] >= 0xBE);
}

}  // namespace

std::string ToXmlText(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());  // stops at the first NUL
    std::string safe;
    safe.reserve(text.size());
    size_t i = 0;
    while (bytes[i]) {
        size_t length = (bytes[i] & 0xE0) == 0xC0 ? 2 : (bytes[i] & 0xF0) == 0xE0 ? 3 : 1;
        if (length == 1) {
            safe += IsAllowedSingleByte(bytes[i]) ? static_cast<char>(bytes[i]) : '?';
            ++i;
            continue;
        }
        size_t copied = 1;
        bool valid = true;
        while (copied < length && bytes[i + copied]) {
            valid = valid && IsContinuation(bytes[i + copied]);
            ++copied;
        }
        valid = valid && copied == length && !IsRefusedSequence(bytes + i, length);
        for (size_t k = 0; k < copied; ++k)
            safe += valid || IsAllowedSingleByte(bytes[i + k]) ? static_cast<char>(bytes[i + k]) : '?';
        i += copied;
    }
    return Replace(Replace(safe, "\r\n", "\n"), "\r", "\n");
}

std::string FromXmlText(const std::string& text) { return Replace(text, "\n", "\r\n"); }

bool TextToBool(const std::string& text) {
    std::string lower = ToLower(text);
    return lower == "1" || lower == "true";
}

}  // namespace Ovrin
