// The log tail over CFile, opened for reading while the service keeps writing the file.
#include "manager/log_tail.h"

#include <sys/stat.h>

#include "common/file.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {
constexpr uint32_t kChunk = 1023;
}

TLogTail::TLogTail(std::string path, TLineHandler onLine, TResetHandler onReset)
    : path(std::move(path)), onLine(std::move(onLine)), onReset(std::move(onReset)) {}

TLogTail::~TLogTail() = default;

void TLogTail::Open() {
    file.reset();
    pending.clear();
    onReset();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return;
    try {
        file = std::make_unique<CFile>(path, CFile::ACCESS_READ, CFile::SHARE_READ_WRITE, CFile::OPEN_EXISTING, 0);
        device = info.st_dev;
        inode = info.st_ino;
    } catch (const std::exception&) {
        file.reset();  // tried again on the next pass
    }
}

// The service may create the log anew under the same name; the old file then never shrinks.
bool TLogTail::Replaced() const {
    struct stat info {};
    return stat(path.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode;
}

void TLogTail::Pass() {
    if (!file || Replaced()) {
        Open();
        return;
    }
    uint32_t position = 0, size = 0;
    try {
        position = file->SetFilePointer(0, CFile::CURRENT);
        size = file->GetSize();
    } catch (const std::exception&) {
        Open();
        return;
    }
    if (position > size) {
        Open();
        return;
    }
    if (position == size)
        return;
    char buffer[kChunk];
    try {
        for (;;) {
            uint32_t got = file->Read(buffer, kChunk);
            if (got == 0)
                break;
            pending.append(buffer, got);
            if (got < kChunk && pending.size() >= 2 && pending.compare(pending.size() - 2, 2, "\r\n") == 0)
                break;
        }
    } catch (const std::exception&) {
        // a failed read ends the reading; what arrived is kept
    }
    size_t end = pending.rfind("\r\n");
    if (end == std::string::npos)
        return;
    std::string text = pending.substr(0, end + 2);
    pending.erase(0, end + 2);
    std::string head, tail;
    while (!text.empty()) {
        SplitAt(text, "\r\n", head, tail);
        if (!head.empty())
            onLine(head);
        text = tail;
    }
}

}  // namespace Ovrin
