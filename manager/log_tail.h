// TLogTail: follows ovrin.log from its start, hands over each completed line once, and starts
// again from the top when the service has created the file anew.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/types.h>

namespace Ovrin {

class CFile;

class TLogTail {
public:
    using TLineHandler = std::function<void(const std::string& line)>;
    using TResetHandler = std::function<void()>;

    TLogTail(std::string path, TLineHandler onLine, TResetHandler onReset);
    ~TLogTail();

    // Closes the file, reports the reset and opens the file again if it exists.
    void Open();
    // One pass: reopens when the file is missing, shorter than what was read, or replaced by a
    // new file; otherwise reads what was added and reports each line ended by CR LF. A line
    // still without its CR LF waits for the next pass.
    void Pass();

private:
    bool Replaced() const;

    std::string path;
    TLineHandler onLine;
    TResetHandler onReset;
    std::unique_ptr<CFile> file;
    dev_t device = 0;
    ino_t inode = 0;
    std::string pending;
};

}  // namespace Ovrin
