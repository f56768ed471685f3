// CServiceLog: ovrin.log, the server's standard error byte for byte. Opened for appending and
// never truncated (an earlier run's lines stay, and a copy-and-truncate rotation leaves no hole);
// reopened by name on request, so that a rename and SIGHUP rotate it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/file.h"
#include "common/lock.h"

namespace Ovrin {

class CServiceLog {
public:
    explicit CServiceLog(std::string name);

    // Opens the file by its name, creating it when missing, in place of the one open so far.
    void Open();
    void Write(const void* data, uint32_t length);
    void Close();

private:
    const std::string name;
    CLock lock;  // taken around each write and each reopening
    std::unique_ptr<CFile> file;
};

}  // namespace Ovrin
