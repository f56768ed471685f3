// A mailbox's lock, snapshot and deletions for one POP3 session.
#include "server/pop3/pop3_mailbox.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/bounded_cache.h"
#include "common/digest.h"
#include "common/log.h"
#include "common/trace.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

// Sizes as sent by message file, so that a mailbox that a client polls is read whole only for
// its new messages. A file is known by its path, size and last-write time: message files are
// written once under a name of their own and never changed in place.
CSharedBoundedCache<std::string, uint64_t>& SentSizes() {
    static CSharedBoundedCache<std::string, uint64_t> instance{65536};
    return instance;
}

uint64_t SentSize(const CFileInfo& file) {
    const std::string key = file.path + '\n' + std::to_string(file.size) + '\n' + std::to_string(file.time);
    return SentSizes().Get(key, [&] { return CPOP3Mailbox::SizeAsSent(file.path); });
}

}  // namespace

CPOP3Mailbox::CPOP3Mailbox(const std::string& directory)
    : directory(directory),
      lock(std::make_shared<CMailboxLock>(directory)) {}

void CPOP3Mailbox::TakeSnapshot() {
    CFileInfoList files = CFile::EnumerateFiles(directory, MessageFileName("*"));
    std::stable_sort(files->begin(), files->end(),
                     [](const CFileInfo& a, const CFileInfo& b) { return a.time < b.time; });
    messages.clear();
    messages.reserve(files->size());
    totalSize = 0;
    for (CFileInfo& file : *files) {
        const uint64_t size = SentSize(file);
        messages.push_back({std::move(file), size, false});
        totalSize += size;
    }
    count = static_cast<uint32_t>(messages.size());
    lastAccessed = 0;
}

uint64_t CPOP3Mailbox::SizeAsSent(const std::string& path) {
    return Traced([&] {
        CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
        constexpr uint32_t kChunk = 65536;
        std::unique_ptr<char[]> buffer(new char[kChunk]);
        uint64_t size = 0;
        char previous = '\n';  // an empty file gets nothing added
        for (uint32_t got; (got = file.Read(buffer.get(), kChunk)) > 0;) {
            size += got;
            for (const char* at = buffer.get(), *end = at + got;
                 (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at) {
                const char before = at == buffer.get() ? previous : at[-1];
                if (before != '\r')
                    ++size;
            }
            previous = buffer[got - 1];
        }
        return previous == '\n' ? size : size + 2;
    }, "CPOP3Mailbox::SizeAsSent('%s')", path.c_str());
}

const CPOP3Mailbox::CMessage* CPOP3Mailbox::Access(const std::string& numberText) {
    const unsigned long number = std::strtoul(numberText.c_str(), nullptr, 10);
    if (number == 0 || number > messages.size())
        return nullptr;
    lastAccessed = std::max(lastAccessed, static_cast<uint32_t>(number));
    return &messages[number - 1];
}

void CPOP3Mailbox::MarkDeleted(uint32_t number) {
    CMessage& message = messages.at(number - 1);
    if (message.deleted)
        return;
    message.deleted = true;
    --count;
    totalSize -= message.size;
}

void CPOP3Mailbox::Reset() {
    for (CMessage& message : messages) {
        if (message.deleted) {
            message.deleted = false;
            ++count;
            totalSize += message.size;
        }
    }
    lastAccessed = 0;
}

std::vector<uint32_t> CPOP3Mailbox::ApplyDeletions() {
    std::vector<uint32_t> kept;
    for (uint32_t number = 1; number <= messages.size(); ++number) {
        const CMessage& message = messages[number - 1];
        if (message.deleted && !CFile::DeleteFile(message.file.path)) {
            Logger().Warning("CPOP3ServerConnection::~CPOP3ServerConnection(): closing mailbox, unable to delete "
                             "file '%s'",
                             message.file.path.c_str());
            kept.push_back(number);
        }
    }
    return kept;
}

std::string CPOP3Mailbox::UniqueId(const std::string& fileName) {
    constexpr size_t kMaxUniqueId = 70;
    // Only the lower-case extension goes: "a.msg" and "a.MSG" are two files with two ids.
    std::string id = fileName;
    const std::string_view extension = kMessageExtension;
    if (id.size() > extension.size() && id.ends_with(extension))
        id.resize(id.size() - extension.size());
    const bool carried = id.size() <= kMaxUniqueId &&
                         std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    return carried ? id : HexDigest(fileName);
}

}  // namespace Ovrin
