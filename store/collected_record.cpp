// The record of collected messages: lines "U <time> <boot> <uid>" appended as messages are
// stored, and "C" once they are durable. An unconfirmed line from before a restart of the
// machine may stand for a message whose file never reached the disk: it is dropped, so that the
// message is collected again rather than lost. Within one boot the page cache holds whatever a
// killed process wrote, so its unconfirmed lines stand.
#include "store/collected_record.h"

#include <sstream>
#include <vector>

#include "common/digest.h"
#include "common/exception.h"
#include "common/text.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";
constexpr const char* kPrefix = ".collected-";
// Written for entries that are durable already (a rewritten record).
constexpr const char* kDurable = "-";
// Ends a line torn by a crash or a failed write: whatever part of an entry it holds, the control
// character makes it none (no unique id, no number, no tag holds one).
constexpr const char* kTornEnd = "\x01\n";

std::string ReadAll(CFile& file) {
    std::string text;
    char chunk[65536];
    file.SetFilePointer(0, CFile::BEGIN);
    while (uint32_t got = file.Read(chunk, sizeof chunk))
        text.append(chunk, got);
    return text;
}

std::string BootId() {
    CFile file(kBootIdPath, CFile::ACCESS_READ, CFile::SHARE_READ_WRITE, CFile::OPEN_EXISTING, 0);
    return Trim(ReadAll(file));
}

void WriteText(CFile& file, const std::string& text) {
    file.Write(text.data(), static_cast<uint32_t>(text.size()));
}

std::string EntryLine(const std::string& uid, std::time_t collected, const std::string& boot) {
    return "U " + std::to_string(static_cast<long long>(collected)) + " " + boot + " " + uid + "\n";
}

}  // namespace

std::string CCollectedRecord::FileName(const std::string& hostname, const std::string& port,
                                       const std::string& username) {
    return kPrefix + HexDigest(ToLower(hostname) + "\n" + port + "\n" + username).substr(0, 20);
}

std::string CCollectedRecord::PathOf(const CMailStore& store, std::string_view user, const std::string& hostname,
                                     const std::string& port, const std::string& username) {
    return store.UserPath(user, FileName(hostname, port, username));
}

bool CCollectedRecord::RemoveOthers(const CMailStore& store, std::string_view user,
                                    const std::set<std::string>& kept) {
    return Traced([&] {
        bool all = true;
        const CFileInfoList records = CFile::EnumerateFiles(store.UserDirectory(user), std::string(kPrefix) + "*");
        for (const CFileInfo& record : *records)
            if (kept.count(record.name) == 0 && record.name.find('.', 1) == std::string::npos)
                all = CFile::DeleteFile(record.path) && all;
        return all;
    }, "CCollectedRecord::RemoveOthers('%s', %u)", std::string(user).c_str(), static_cast<unsigned>(kept.size()));
}

bool CCollectedRecord::IsUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 70)
        return false;
    for (unsigned char c : uid)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

CCollectedRecord::CCollectedRecord(const std::string& path) : path(path) {
    Traced([&] {
        bootId = BootId();
        file = std::make_shared<CFile>(path, CFile::ACCESS_READ | CFile::ACCESS_WRITE, CFile::SHARE_NONE,
                                       CFile::OPEN_ALWAYS, CFile::NO_FOLLOW);
        const std::string text = ReadAll(*file);
        std::map<std::string, std::time_t> pending;
        std::map<std::string, std::time_t> pendingEarlier;  // of an earlier boot
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            ++lines;
            std::istringstream line(text.substr(start, end - start));
            std::string tag, boot, uid, rest;
            long long collected = 0;
            line >> tag;
            if (tag == "C") {
                entries.insert(pending.begin(), pending.end());
                entries.insert(pendingEarlier.begin(), pendingEarlier.end());
                pending.clear();
                pendingEarlier.clear();
                unconfirmed.clear();
                continue;
            }
            // A line torn by a crash or a full disk is no entry.
            if (tag != "U" || !(line >> collected >> boot >> uid) || (line >> rest) || !IsUid(uid))
                continue;
            (boot == bootId || boot == kDurable ? pending : pendingEarlier)[uid] = static_cast<std::time_t>(collected);
            if (boot == bootId)
                unconfirmed.insert(uid);
        }
        torn = start < text.size();
        entries.insert(pending.begin(), pending.end());
        // Rewritten at once: a later confirmation must not vouch for the dropped lines.
        if (!pendingEarlier.empty())
            Rewrite();
    }, "CCollectedRecord::CCollectedRecord('%s')", path.c_str());
}

bool CCollectedRecord::Contains(const std::string& uid) const { return entries.count(uid) != 0; }

std::time_t CCollectedRecord::CollectedAt(const std::string& uid) const {
    auto it = entries.find(uid);
    return it == entries.end() ? 0 : it->second;
}

void CCollectedRecord::Add(const std::string& uid, std::time_t collected) {
    Traced([&] {
        if (!IsUid(uid))
            throw CMessageException("'%s' is no unique id", uid.c_str());
        const std::string line = (torn ? kTornEnd : "") + EntryLine(uid, collected, bootId);
        file->SetFilePointer(0, CFile::END);
        try {
            WriteText(*file, line);
        } catch (...) {
            torn = true;
            throw;
        }
        torn = false;
        entries[uid] = collected;
        unconfirmed.insert(uid);
        ++lines;
    }, "CCollectedRecord::Add('%s', %lld)", uid.c_str(), static_cast<long long>(collected));
}

void CCollectedRecord::Confirm() {
    Traced([&] {
        file->SetFilePointer(0, CFile::END);
        try {
            WriteText(*file, torn ? std::string(kTornEnd) + "C\n" : "C\n");
        } catch (...) {
            torn = true;
            throw;
        }
        torn = false;
        ++lines;
        file->Flush();
        unconfirmed.clear();
    }, "CCollectedRecord::Confirm()");
}

void CCollectedRecord::Prune(const std::set<std::string>& listed) {
    Traced([&] {
        bool dropped = false;
        for (auto it = entries.begin(); it != entries.end();) {
            if (listed.count(it->first) == 0) {
                unconfirmed.erase(it->first);
                it = entries.erase(it);
                dropped = true;
            } else {
                ++it;
            }
        }
        // The marks of many sessions are let grow up to about the entries' own size.
        if (dropped || lines > 2 * entries.size() + 64)
            Rewrite();
    }, "CCollectedRecord::Prune(%u)", static_cast<unsigned>(listed.size()));
}

// The confirmed entries, the mark, then the unconfirmed ones of this boot as they were.
void CCollectedRecord::Rewrite() {
    std::string text;
    for (const auto& [uid, collected] : entries)
        if (unconfirmed.count(uid) == 0)
            text += EntryLine(uid, collected, kDurable);
    text += "C\n";
    for (const auto& uid : unconfirmed)
        text += EntryLine(uid, entries[uid], bootId);
    const std::string temporary = path + ".new";
    {
        CFile fresh(temporary, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_ALWAYS,
                    CFile::NO_FOLLOW | CFile::DELETE_ON_WRITE_FAILURE);
        WriteText(fresh, text);
        fresh.Flush();
    }
    const bool replaced = CFile::OverwriteFile(temporary, path);
    CFile::DeleteFile(temporary);
    if (!replaced)
        throw CMessageException("Unable to write the record of collected messages %s", path.c_str());
    file = std::make_shared<CFile>(path, CFile::ACCESS_READ | CFile::ACCESS_WRITE, CFile::SHARE_NONE,
                                   CFile::OPEN_EXISTING, CFile::NO_FOLLOW);
    lines = entries.size() + 1;  // the mark
    torn = false;
}

}  // namespace Ovrin
