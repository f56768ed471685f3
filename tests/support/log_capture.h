// Captures what the code under test writes to standard error (the log) and splits it into lines.
#pragma once

#include <string>
#include <vector>

namespace OvrinTest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // Stops capturing (once) and returns the log lines without their CR LF ends.
    const std::vector<std::string>& Lines();
    // Lines whose text contains the fragment.
    std::vector<std::string> LinesWith(const std::string& fragment);

private:
    bool capturing = true;
    std::vector<std::string> lines;
};

// Splits text at CR LF (or a lone LF), dropping the line ends; no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace OvrinTest
