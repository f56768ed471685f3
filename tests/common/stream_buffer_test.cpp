// CStreamBuffer: line ends, the 1 MiB limit and reads that take what is there.
#include "common/stream_buffer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/thrown_message.h"

using namespace Ovrin;
using OvrinTest::ThrownMessage;

namespace {

std::string Pending(const CStreamBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

void Put(CStreamBuffer& buffer, const std::string& bytes) { buffer.Write(bytes.data(), static_cast<uint32_t>(bytes.size())); }

}  // namespace

TEST(CStreamBuffer, ReadLineFindsLfOrCrLfAndKeepsOtherCrs) {
    struct Case {
        std::vector<std::string> writes;  // ReadLine runs after each
        std::vector<uint32_t> results;
        std::string line;  // of the last call that found one
        std::string left;
    };
    const Case cases[] = {
        {{"abc\r", "\n"}, {0, 4}, "abc", ""},
        {{"\r\n"}, {1}, "", ""},
        {{"a\rb\n"}, {4}, "a\rb", ""},
        {{"x\n"}, {2}, "x", ""},
        {{"one\ntwo"}, {4}, "one", "two"},
        {{"\r\r\n"}, {2}, "\r", ""},
        {{"abc"}, {0}, "", "abc"},
    };
    for (const Case& c : cases) {
        CStreamBuffer buffer;
        std::string line;
        for (size_t i = 0; i < c.writes.size(); ++i) {
            Put(buffer, c.writes[i]);
            EXPECT_EQ(buffer.HasLine(), c.results[i] != 0) << c.writes[i];
            EXPECT_EQ(buffer.ReadLine(&line), c.results[i]) << c.writes[i];
        }
        EXPECT_EQ(line, c.line) << c.writes[0];
        EXPECT_EQ(Pending(buffer), c.left) << c.writes[0];
    }
}

TEST(CStreamBuffer, WritesBeyondOneMebibyteAreRefusedAndLeaveTheBufferAsItWas) {
    CStreamBuffer buffer;
    Put(buffer, "xyz");
    std::string twoMiB(2 * 1024 * 1024, 'a');
    EXPECT_EQ(ThrownMessage([&] { Put(buffer, twoMiB); }), "Buffer size may not exceed 1048576");
    EXPECT_EQ(Pending(buffer), "xyz");

    CStreamBuffer full;
    std::string oneMiB(1024 * 1024, 'b');
    Put(full, oneMiB.substr(0, 1000));
    Put(full, oneMiB.substr(1000));
    EXPECT_EQ(full.GetLength(), 1048576u);
    EXPECT_TRUE(full.IsOverLimit());
    EXPECT_EQ(ThrownMessage([&] { Put(full, "c"); }), "Buffer size may not exceed 1048576");
    EXPECT_EQ(full.GetLength(), 1048576u);
}

TEST(CStreamBuffer, ReadTakesWhatIsPendingAndDiscardsWithoutDestination) {
    CStreamBuffer buffer;
    Put(buffer, "hello world");
    char part[5];
    EXPECT_EQ(buffer.Read(part, sizeof part), 5u);
    EXPECT_EQ(std::string(part, 5), "hello");
    EXPECT_EQ(buffer.Read(nullptr, 1), 1u);
    EXPECT_EQ(Pending(buffer), "world");
    // Space freed at the front is reused before the storage grows.
    std::string more(1024 - 5, 'm');
    Put(buffer, more);
    EXPECT_EQ(Pending(buffer), "world" + more);
    char rest[2048];
    EXPECT_EQ(buffer.Read(rest, sizeof rest), 1024u);
    EXPECT_EQ(buffer.Read(rest, sizeof rest), 0u);
    EXPECT_EQ(ThrownMessage([&] { buffer.Read(rest, 0); }), "Invalid argument: zero buffer size");
    EXPECT_EQ(ThrownMessage([&] { buffer.Write(nullptr, 3); }), "Null data pointer or zero data length");
}
