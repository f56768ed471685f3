#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

namespace OvrinTest {

LogCapture::LogCapture() { testing::internal::CaptureStderr(); }

LogCapture::~LogCapture() { Lines(); }

const std::vector<std::string>& LogCapture::Lines() {
    if (capturing) {
        capturing = false;
        lines = SplitLines(testing::internal::GetCapturedStderr());
    }
    return lines;
}

std::vector<std::string> LogCapture::LinesWith(const std::string& fragment) {
    std::vector<std::string> found;
    for (const auto& line : Lines())
        if (line.find(fragment) != std::string::npos)
            found.push_back(line);
    return found;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> result;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
        from = end + 1;
    }
    return result;
}

}  // namespace OvrinTest
