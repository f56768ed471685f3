// The line rules of a streamed message. A line ends at LF or CR LF; a lone CR stays in the line.
// Only the state of the current line is kept between chunks, never the line itself, so a file
// without line ends streams in bounded memory like any other.
#include "server/pop3/pop3_message_stream.h"

#include <cstring>

namespace Ovrin {

CPOP3MessageStream::CPOP3MessageStream(uint32_t lineLimit) : lineLimit(lineLimit) {}

void CPOP3MessageStream::Content(const char* data, size_t length, std::string& out) {
    if (length == 0)
        return;
    if (atLineStart && data[0] == '.')
        out += '.';
    atLineStart = false;
    out.append(data, length);
}

bool CPOP3MessageStream::EndLine(std::string& out) {
    const bool empty = atLineStart;
    out += "\r\n";
    atLineStart = true;
    if (!inBody && empty)
        inBody = true;
    if (inBody) {
        if (lineLimit == 0) {
            out += ".\r\n";
            return false;
        }
        --lineLimit;
    }
    return true;
}

bool CPOP3MessageStream::Feed(const char* data, size_t length, std::string& out) {
    size_t position = 0;
    while (position < length) {
        const char* found = static_cast<const char*>(std::memchr(data + position, '\n', length - position));
        const size_t end = found ? static_cast<size_t>(found - data) : length;
        size_t segment = end - position;
        if (heldCR) {
            heldCR = false;
            if (segment > 0 || !found)
                Content("\r", 1, out);  // not followed by LF: part of the line
        }
        if (segment > 0 && data[end - 1] == '\r') {
            --segment;  // CR LF, or a CR that the next chunk may pair with an LF
            if (!found)
                heldCR = true;
        }
        Content(data + position, segment, out);
        if (!found)
            break;
        if (!EndLine(out))
            return false;
        position = end + 1;
    }
    return true;
}

void CPOP3MessageStream::Finish(std::string& out) {
    if (heldCR) {
        heldCR = false;
        Content("\r", 1, out);
    }
    if (!atLineStart)
        out += "\r\n";
    out += inBody ? ".\r\n" : "\r\n.\r\n";
}

}  // namespace Ovrin
