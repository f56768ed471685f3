#include "manager/header_words.h"

#include <cctype>
#include <optional>
#include <string>

#include <QByteArray>
#include <QStringDecoder>

namespace Ovrin {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> DecodeQ(std::string_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            bytes += ' ';
        } else if (text[i] == '=') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::optional<std::string> DecodeB(std::string_view text) {
    QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded.toStdString();
}

std::optional<QString> InCharset(std::string charset, const std::string& bytes) {
    charset = charset.substr(0, charset.find('*'));  // RFC 2231 language tag
    for (char& c : charset)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // US-ASCII is a subset of Latin-1; Qt without ICU knows only the Unicode forms and Latin-1.
    if (charset == "us-ascii" || charset == "iso-8859-1" || charset == "latin1")
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid())
        return std::nullopt;
    QString text = decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// The encoded word at the start of the text and its length, if there is one.
std::optional<std::pair<QString, size_t>> EncodedWord(std::string_view text) {
    if (text.substr(0, 2) != "=?")
        return std::nullopt;
    size_t charsetEnd = text.find('?', 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?')
        return std::nullopt;
    size_t end = text.find("?=", charsetEnd + 3);
    if (end == std::string_view::npos)
        return std::nullopt;
    std::string_view payload = text.substr(charsetEnd + 3, end - charsetEnd - 3);
    if (payload.find_first_of(" \t\r\n") != std::string_view::npos)
        return std::nullopt;
    char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(text[charsetEnd + 1])));
    std::optional<std::string> bytes = encoding == 'B' ? DecodeB(payload) : encoding == 'Q' ? DecodeQ(payload) : std::nullopt;
    if (!bytes)
        return std::nullopt;
    std::optional<QString> decoded = InCharset(std::string(text.substr(2, charsetEnd - 2)), *bytes);
    if (!decoded)
        return std::nullopt;
    return std::make_pair(*decoded, end + 2);
}

}  // namespace

QString DecodeMessageText(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return utf8.hasError() ? QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())) : text;
}

QString DecodeHeaderValue(std::string_view value) {
    QString result;
    size_t plainStart = 0;
    bool afterWord = false;
    for (size_t at = 0; at < value.size();) {
        std::optional<std::pair<QString, size_t>> word = EncodedWord(value.substr(at));
        if (!word) {
            ++at;
            continue;
        }
        std::string_view between = value.substr(plainStart, at - plainStart);
        if (!(afterWord && between.find_first_not_of(" \t\r\n") == std::string_view::npos))
            result += DecodeMessageText(between);
        result += word->first;
        at += word->second;
        plainStart = at;
        afterWord = true;
    }
    result += DecodeMessageText(value.substr(plainStart));
    return result;
}

}  // namespace Ovrin
