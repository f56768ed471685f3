// CFile, CFileInfo, CDirInfo: the one way the system touches files. Opens with explicit access,
// share and creation modes (shares enforced with flock), unique names, delete-on-close, and
// by-name delete, move (never replacing), overwrite and wildcard listings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Ovrin {

struct CFileInfo {
    std::string name;   // without directory
    std::string path;   // directory + "/" + name
    uint64_t size = 0;
    uint32_t time = 0;  // last write, seconds since 1970-01-01 UTC
};

struct CDirInfo {
    std::string name;
    std::string path;
};

using CFileInfoList = std::shared_ptr<std::vector<CFileInfo>>;
using CDirInfoList = std::shared_ptr<std::vector<CDirInfo>>;

class CFile {
public:
    // access
    static constexpr uint32_t ACCESS_READ = 0x08000000;
    static constexpr uint32_t ACCESS_WRITE = 0x04000000;
    // share
    static constexpr uint32_t SHARE_NONE = 0;
    static constexpr uint32_t SHARE_READ = 1;
    static constexpr uint32_t SHARE_READ_WRITE = 2;
    // disposition
    static constexpr uint32_t CREATE_NEW = 0;
    static constexpr uint32_t OPEN_ALWAYS = 1;
    static constexpr uint32_t OPEN_EXISTING = 2;
    static constexpr uint32_t CREATE_ALWAYS = 3;
    // flags
    // A symbolic link at the name is refused, not followed (message files are never links).
    static constexpr uint32_t NO_FOLLOW = 0x01000000;
    static constexpr uint32_t UNIQUE_NAME = 0x02000000;
    static constexpr uint32_t DELETE_ON_WRITE_FAILURE = 0x04000000;
    static constexpr uint32_t DELETE_ON_CLOSE = 0x08000000;
    // Every write lands at the end, also after another process cut the file short.
    static constexpr uint32_t APPEND = 0x10000000;
    // What the programs create is their owner's alone, whatever the umask.
    static constexpr uint32_t kPrivateFileMode = 0600;
    static constexpr uint32_t kPrivateDirectoryMode = 0700;
    // seek origins
    static constexpr uint32_t BEGIN = 0;
    static constexpr uint32_t END = 1;
    static constexpr uint32_t CURRENT = 2;

    // Opens or creates; throws CMessageException on failure. With UNIQUE_NAME the name is a
    // printf pattern with one integer conversion. A file created here is kPrivateFileMode and,
    // when root creates it, belongs to the owner of its directory.
    CFile(const std::string& name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);

    uint32_t Read(void* buffer, uint32_t count);
    void Write(const void* buffer, uint32_t count);
    uint32_t SetFilePointer(int32_t distance, uint32_t origin);
    uint32_t GetSize();
    // Forces the written data to the disk (fsync).
    void Flush();
    void SetDeleteOnClose(bool deleteOnClose);
    std::string GetFilename();

    // By-name operations: false and a WARNING line on failure, never a throw for a system failure.
    static bool DeleteFile(const std::string& name);
    static bool MoveFile(const std::string& from, const std::string& to);
    // A move to a name made from a pattern as UNIQUE_NAME makes one: a name that is taken is
    // drawn again, so that files arriving in one millisecond need no second try later. `to`
    // ends as the name used, or the last one tried.
    static bool MoveFileToUniqueName(const std::string& from, const std::string& pattern, std::string& to);
    // The replaced file's owner stays, and its mode is never widened.
    static bool OverwriteFile(const std::string& from, const std::string& to);
    // A complete copy that appears under the target name only when whole; fails, like a move,
    // when the target exists.
    static bool CopyFile(const std::string& from, const std::string& to);
    // Directories, made (kPrivateDirectoryMode, owned like a created file) or removed (only when
    // empty), with the same failure report.
    static bool CreateDirectory(const std::string& name);
    static bool RemoveDirectory(const std::string& name);
    // Makes everything written to the file system that holds the path durable at once (data and
    // directory entries, syncfs): one call where many files would each need a sync.
    static void SyncFileSystem(const std::string& path);
    // Case-insensitive wildcard listings; a missing directory lists as empty.
    static CFileInfoList EnumerateFiles(const std::string& directory, const std::string& pattern);
    static CDirInfoList EnumerateDirs(const std::string& directory, const std::string& pattern);

private:
    class CFileImpl;
    std::shared_ptr<CFileImpl> impl;  // copies share one open file
};

}  // namespace Ovrin
