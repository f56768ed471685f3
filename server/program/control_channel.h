// CControlChannel: the framing of the control protocol. Command lines come in ended by LF (a
// CR before it is dropped); each reply goes out as one line ended by CR LF. The server's own
// channel also turns SIGINT and SIGTERM into the end of input.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace Ovrin {

class CControlChannel {
public:
    // Reads commands from input and writes replies to output; when signalFd is not -1 it is
    // a signalfd whose readiness ends the input. The channel owns output and signalFd, not input.
    CControlChannel(int input, int output, int signalFd);
    ~CControlChannel();
    CControlChannel(const CControlChannel&) = delete;
    CControlChannel& operator=(const CControlChannel&) = delete;

    // The server's channel on its standard input and output. Call first thing in main, before
    // any thread exists: it blocks SIGINT and SIGTERM for the whole process (every thread
    // inherits the mask) and reads them here instead; it keeps standard output for replies
    // alone by moving it to a private descriptor and pointing descriptor 1 at standard error,
    // so that nothing else (a library, a rule's Python print) can break the reply stream.
    static std::unique_ptr<CControlChannel> ForStandardStreams();

    // The next line without its line end, at most kMaxRegexedLine + 2 bytes of it (enough for
    // the cut that follows to log its warning); nullopt once the input has ended or a stop
    // signal has arrived. An unterminated last line is returned before the end.
    std::optional<std::string> ReadLine();
    // Why ReadLine returned nullopt: "end of input" or the signal's name.
    std::string EndReason() const;

    // Writes the reply followed by CR LF in full; control bytes inside become blanks so that
    // a reply is always exactly one line.
    void WriteReply(const std::string& reply);

private:
    class CControlChannelImpl;
    std::unique_ptr<CControlChannelImpl> impl;
};

}  // namespace Ovrin
