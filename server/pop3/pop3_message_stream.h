// CPOP3MessageStream: turns a message file, fed chunk by chunk, into the lines of a POP3
// multi-line reply: line ends made CR LF, lines beginning with "." stuffed, the body cut after
// a number of lines (TOP), and the terminator. Bytes go through as they are, NULs included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Ovrin {

class CPOP3MessageStream {
public:
    static constexpr uint32_t kWholeMessage = 0xFFFFFFFF;

    // lineLimit: body lines to send after the blank line that ends the header.
    explicit CPOP3MessageStream(uint32_t lineLimit);

    // Appends the reply bytes of one chunk to out; false once the line limit has ended the
    // reply (the terminator is appended then, and the rest of the file is not wanted).
    bool Feed(const char* data, size_t length, std::string& out);
    // End of file: a last line without a line end is ended, a header without its blank line
    // gets one, and the terminator follows.
    void Finish(std::string& out);

private:
    void Content(const char* data, size_t length, std::string& out);
    bool EndLine(std::string& out);

    uint32_t lineLimit;
    bool inBody = false;       // the blank line ending the header has been sent
    bool atLineStart = true;   // nothing of the current line sent yet
    bool heldCR = false;       // a chunk ended in CR: it ends the line if the next byte is LF
};

}  // namespace Ovrin
