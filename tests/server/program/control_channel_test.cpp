// CControlChannel: line framing of the commands and of the replies.
#include "server/program/control_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/validators.h"

using namespace Ovrin;

namespace {

class ControlChannel : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        channel = std::make_unique<CControlChannel>(in[0], out[1], -1);
    }
    void TearDown() override {
        channel.reset();  // closes out[1]
        CloseInput();
        ::close(in[0]);
        ::close(out[0]);
    }
    void Write(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(in[1], text.data() + done, text.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }
    void CloseInput() {
        if (in[1] >= 0)
            ::close(in[1]);
        in[1] = -1;
    }
    std::string Written() {
        channel.reset();
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    std::unique_ptr<CControlChannel> channel;
};

}  // namespace

TEST_F(ControlChannel, LinesEndAtLfWithOneCrBeforeItDropped) {
    Write("noop\r\nstop\nwith\rinside\r\n\r\n\n two\r\r\n");
    EXPECT_EQ(channel->ReadLine(), "noop");
    EXPECT_EQ(channel->ReadLine(), "stop");
    EXPECT_EQ(channel->ReadLine(), "with\rinside");
    EXPECT_EQ(channel->ReadLine(), "");
    EXPECT_EQ(channel->ReadLine(), "");
    EXPECT_EQ(channel->ReadLine(), " two\r");
}

TEST_F(ControlChannel, EndOfInputGivesTheUnterminatedLastLineThenNothing) {
    Write("a\r\nlast");
    CloseInput();
    EXPECT_EQ(channel->ReadLine(), "a");
    EXPECT_EQ(channel->ReadLine(), "last");
    EXPECT_EQ(channel->ReadLine(), std::nullopt);
    EXPECT_EQ(channel->ReadLine(), std::nullopt);
    EXPECT_EQ(channel->EndReason(), "end of input");
}

TEST_F(ControlChannel, LongLinesAreKeptOnlyAsFarAsTheCutNeeds) {
    std::thread writer([&] {
        Write(std::string(3 << 20, 'x') + "\r\n" + std::string(kMaxRegexedLine, 'y') + "\r\nnext\n");
        CloseInput();
    });
    auto first = channel->ReadLine();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), kMaxRegexedLine + 2);  // enough for ValidateRegexedLine to see it is too long
    EXPECT_EQ(channel->ReadLine(), std::string(kMaxRegexedLine, 'y'));  // exactly the limit, CR dropped
    EXPECT_EQ(channel->ReadLine(), "next");
    writer.join();
}

TEST_F(ControlChannel, RepliesAreOneLineEndedByCrLf) {
    channel->WriteReply("ok");
    channel->WriteReply("err two\r\nlines\tand a tab");
    channel->WriteReply("");
    EXPECT_EQ(Written(), "ok\r\nerr two  lines and a tab\r\n\r\n");
}
