// CServiceLog through CFile with APPEND: a reopening swaps the file under the lock.
#include "service/service_log.h"

#include "common/trace.h"

namespace Ovrin {

CServiceLog::CServiceLog(std::string name) : name(std::move(name)) {}

void CServiceLog::Open() {
    Traced([&] {
        auto opened = std::make_unique<CFile>(name, CFile::ACCESS_WRITE, CFile::SHARE_READ, CFile::OPEN_ALWAYS,
                                              CFile::APPEND);
        CScopedLock hold(lock, kInfinite);
        file = std::move(opened);
    }, "CServiceLog::Open('%s')", name.c_str());
}

void CServiceLog::Write(const void* data, uint32_t length) {
    CScopedLock hold(lock, kInfinite);
    if (file)
        file->Write(data, length);
}

void CServiceLog::Close() {
    CScopedLock hold(lock, kInfinite);
    file.reset();
}

}  // namespace Ovrin
