// A message file as a POP3 reply: line ends, byte-stuffing, TOP's line limit, the terminator,
// whatever the chunk boundaries are.
#include <gtest/gtest.h>

#include "server/pop3/pop3_message_stream.h"

using namespace Ovrin;

namespace {

constexpr uint32_t kAll = CPOP3MessageStream::kWholeMessage;

// Feeds the file in chunks of the given size, as the session reads it.
std::string Stream(const std::string& file, uint32_t limit, size_t chunkSize) {
    CPOP3MessageStream stream(limit);
    std::string out;
    for (size_t at = 0; at < file.size(); at += chunkSize) {
        if (!stream.Feed(file.data() + at, std::min(chunkSize, file.size() - at), out))
            return out;
    }
    stream.Finish(out);
    return out;
}

struct Case {
    const char* what;
    std::string file;
    uint32_t limit;
    std::string reply;
};

}  // namespace

TEST(POP3MessageStream, LinesAreStuffedEndedWithCRLFAndCutAtTheLimitForEveryChunking) {
    using namespace std::string_literals;
    const Case cases[] = {
        {"CR LF kept", "A: 1\r\n\r\nbody\r\n", kAll, "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"LF-only made CR LF", "A: 1\n\nbody\n", kAll, "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"period lines stuffed", "A: 1\n\n.\n..x\nx.\n", kAll, "A: 1\r\n\r\n..\r\n...x\r\nx.\r\n.\r\n"},
        {"lone CR stays in the line", "A: 1\n\na\rb\n\r\r\n", kAll, "A: 1\r\n\r\na\rb\r\n\r\r\n.\r\n"},
        {"last line without end", "A: 1\n\n.end", kAll, "A: 1\r\n\r\n..end\r\n.\r\n"},
        {"trailing CR at the end", "A: 1\n\nx\r", kAll, "A: 1\r\n\r\nx\r\r\n.\r\n"},
        {"NUL bytes pass", "A: \0\n\nb\0dy\n"s, kAll, "A: \0\r\n\r\nb\0dy\r\n.\r\n"s},
        {"no blank line gets one", "A: 1\nB: 2\n", kAll, "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"empty file", "", kAll, "\r\n.\r\n"},
        {"TOP 0", "A: 1\n\nb1\nb2\n", 0, "A: 1\r\n\r\n.\r\n"},
        {"TOP 0 without a blank line", "A: 1\nB: 2", 0, "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"TOP 1", "A: 1\n\nb1\nb2\nb3\n", 1, "A: 1\r\n\r\nb1\r\n.\r\n"},
        {"TOP 2 stuffs too", "A: 1\n\n.b1\nb2\nb3\n", 2, "A: 1\r\n\r\n..b1\r\nb2\r\n.\r\n"},
        {"TOP beyond the body", "A: 1\n\nb1\n", 5, "A: 1\r\n\r\nb1\r\n.\r\n"},
        {"CR LF blank line ends the header", "A: 1\r\n\r\nb1\r\nb2\r\n", 1, "A: 1\r\n\r\nb1\r\n.\r\n"},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{65536}})
            EXPECT_EQ(Stream(c.file, c.limit, chunk), c.reply) << c.what << ", chunks of " << chunk;
    }
}

TEST(POP3MessageStream, ALongLineWithoutEndIsNotHeldBack) {
    CPOP3MessageStream stream(kAll);
    std::string out;
    const std::string chunk(65536, 'x');
    stream.Feed("A: 1\n\n", 6, out);
    for (int i = 0; i < 4; ++i) {
        out.clear();
        stream.Feed(chunk.data(), chunk.size(), out);
        EXPECT_EQ(out.size(), chunk.size()) << i;  // passed on at once, never collected
    }
    out.clear();
    stream.Finish(out);
    EXPECT_EQ(out, "\r\n.\r\n");
}
