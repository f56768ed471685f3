// CFile over POSIX descriptors: share modes are non-blocking flock locks, delete-on-close unlinks
// the name before the descriptor closes, and the by-name operations never replace a message.
#include "common/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

#include "common/exception.h"
#include "common/format.h"
#include "common/log.h"
#include "common/random.h"
#include "common/trace.h"

namespace Ovrin {

namespace {

// Unique names are drawn from 0..999; that many attempts before giving up.
constexpr int kUniqueNameAttempts = 1000;
// A lock file removed or replaced between open and lock makes the open start over; this bounds
// the restarts should the name keep changing under us.
constexpr int kReopenAttempts = 1000;

// Trace labels print addresses as 32-bit values.

const char* OriginName(uint32_t origin) {
    return origin == CFile::BEGIN ? "BEGIN" : origin == CFile::END ? "END" : "CURRENT";
}

// Closes a descriptor on scope exit, keeping errno as it was.
class CDescriptor {
public:
    explicit CDescriptor(int fd = -1) : fd(fd) {}
    ~CDescriptor() { Reset(); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return fd; }
    int Release() { int held = fd; fd = -1; return held; }
    void Reset(int other = -1) {
        if (fd >= 0) {
            int error = errno;
            ::close(fd);
            errno = error;
        }
        fd = other;
    }

private:
    int fd;
};

// The name under which a move across filesystems writes its copy before linking it into place.
constexpr const char* kMoveTemporaryPrefix = ".ovrin-move-";

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do
        fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Copies everything from one descriptor to another; 0 or the errno of the failure.
int CopyContents(int from, int to) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = ::write(to, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return put < 0 ? errno : EIO;
            done += put;
        }
    }
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a new directory entry durable; filesystems that cannot sync a directory are ignored.
void SyncDirectory(const std::string& directory) {
    CDescriptor fd(OpenRetrying(directory.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (fd.Get() >= 0)
        ::fsync(fd.Get());
}

// What root creates belongs to the owner of the directory it lands in: an administrator's tools
// must leave nothing behind that the service's own user cannot use. Others create their own.
void TakeDirectoryOwner(int fd, const std::string& path) {
    struct stat directory {};
    if (::geteuid() == 0 && ::stat(DirectoryOf(path).c_str(), &directory) == 0)
        (void)::fchown(fd, directory.st_uid, directory.st_gid);
}

// A fresh file or directory gets exactly the private mode (the umask may have asked for more or
// less) and its owner as above.
void MakePrivate(int fd, const std::string& path, mode_t mode) {
    (void)::fchmod(fd, mode);
    TakeDirectoryOwner(fd, path);
}

// Opens as open(2) does; an O_CREAT without O_EXCL is split in two so that only a file really
// created by this call is made private, and an existing one keeps its owner and mode.
int OpenCreating(const std::string& path, int flags) {
    if (!(flags & O_CREAT))
        return OpenRetrying(path.c_str(), flags, 0);
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        int fd = OpenRetrying(path.c_str(), flags | O_EXCL, CFile::kPrivateFileMode);
        if (fd >= 0) {
            MakePrivate(fd, path, CFile::kPrivateFileMode);
            return fd;
        }
        if (errno != EEXIST || (flags & O_EXCL))
            return -1;
        fd = OpenRetrying(path.c_str(), flags & ~O_CREAT, 0);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // removed between the two opens: create it after all
    }
    return errno = EAGAIN, -1;
}

// Writes a complete, synced copy of an open regular file into a descriptor, with the given
// permission bits and the source's last-write time: a moved or copied message keeps its date.
int CopyFileData(int from, const struct stat& source, int to, mode_t mode) {
    if (int error = CopyContents(from, to))
        return error;
    ::fchmod(to, mode);
    const timespec times[2] = {source.st_atim, source.st_mtim};
    ::futimens(to, times);
    return ::fsync(to) == 0 ? 0 : errno;
}

int OpenRegularSource(const std::string& from, CDescriptor& fd, struct stat& info) {
    fd.Reset(OpenRetrying(from.c_str(), O_RDONLY | O_NOFOLLOW, 0));
    if (fd.Get() < 0)
        return errno;
    if (::fstat(fd.Get(), &info) != 0)
        return errno;
    if (S_ISDIR(info.st_mode))
        return EISDIR;
    return S_ISREG(info.st_mode) ? 0 : EINVAL;
}

// A synced copy under a hidden temporary name in the target's directory, linked into place
// (which never replaces anything). Nobody sees a half-written file under its final name, and a
// crash leaves at worst a stray temporary.
int CopyNoReplace(const std::string& from, const std::string& to) {
    CDescriptor source;
    struct stat info {};
    if (int error = OpenRegularSource(from, source, info))
        return error;
    std::string temporary = DirectoryOf(to) + "/" + kMoveTemporaryPrefix + "XXXXXX";
    CDescriptor target(::mkostemp(temporary.data(), O_CLOEXEC));
    if (target.Get() < 0)
        return errno;
    TakeDirectoryOwner(target.Get(), to);
    int error = CopyFileData(source.Get(), info, target.Get(), info.st_mode & CFile::kPrivateFileMode);
    if (!error && ::close(target.Release()) != 0)
        error = errno;
    if (!error && ::link(temporary.c_str(), to.c_str()) != 0) {
        error = errno;
        // A filesystem without hard links: a rename that refuses to replace does as well.
        if ((error == EPERM || error == ENOTSUP) &&
            ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            error = 0;
    }
    target.Reset();
    ::unlink(temporary.c_str());
    if (error)
        return error;
    SyncDirectory(DirectoryOf(to));
    return 0;
}

// The move across filesystems: the copy first, and only then the source removed, so a crash
// never leaves no copy at all.
int MoveAcross(const std::string& from, const std::string& to) {
    int error = CopyNoReplace(from, to);
    if (error)
        return error == EISDIR ? EXDEV : error;
    if (::unlink(from.c_str()) != 0) {
        error = errno;
        ::unlink(to.c_str());
    }
    return error;
}

// 0 or the errno of the failure; an existing target is never replaced.
int MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = errno;
    if (error == EXDEV)
        return MoveAcross(from, to);
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP)
        return error;
    // The filesystem refuses the flag: a hard link cannot replace anything either.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EXDEV)
            return MoveAcross(from, to);
        return errno == EPERM ? error : errno;
    }
    if (::unlink(from.c_str()) != 0) {
        int unlinkError = errno;
        ::unlink(to.c_str());
        return unlinkError;
    }
    return 0;
}

// Replaces the target by a synced copy in one rename, so readers see the old or the new file.
int CopyReplacing(const std::string& from, const std::string& to) {
    CDescriptor source;
    struct stat info {};
    if (int error = OpenRegularSource(from, source, info))
        return error;
    std::string temporary = to + ".XXXXXX";
    CDescriptor target(::mkostemp(temporary.data(), O_CLOEXEC));
    if (target.Get() < 0)
        return errno;
    // The replaced file's owner stays (an administrator's save must not take the service's
    // file away from it) and its mode only ever narrows, never back to what the source has.
    mode_t mode = info.st_mode & CFile::kPrivateFileMode;
    struct stat replaced {};
    if (::stat(to.c_str(), &replaced) == 0) {
        (void)::fchown(target.Get(), replaced.st_uid, replaced.st_gid);
        mode &= replaced.st_mode;
    } else {
        TakeDirectoryOwner(target.Get(), to);
    }
    int error = CopyFileData(source.Get(), info, target.Get(), mode);
    if (!error && ::close(target.Release()) != 0)
        error = errno;
    if (!error && ::rename(temporary.c_str(), to.c_str()) != 0)
        error = errno;
    if (error) {
        target.Reset();
        ::unlink(temporary.c_str());
        return error;
    }
    SyncDirectory(DirectoryOf(to));
    return 0;
}

// A unique-name pattern must hold exactly one integer conversion; anything else would make the
// formatting read arguments that are not there.
bool IsUniqueNamePattern(const std::string& pattern) {
    int conversions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        if (++i < pattern.size() && pattern[i] == '%')
            continue;
        while (i < pattern.size() && std::string_view("-+ #0").find(pattern[i]) != std::string_view::npos)
            ++i;
        while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9')
            ++i;
        if (i < pattern.size() && pattern[i] == '.')
            for (++i; i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9'; ++i) {
            }
        if (i >= pattern.size() || std::string_view("diouxX").find(pattern[i]) == std::string_view::npos)
            return false;
        ++conversions;
    }
    return conversions == 1;
}

// The errno of a system call that failed, 0 for one that succeeded.
int Errno(int result) { return result == 0 ? 0 : errno; }

int MakePrivateDirectory(const std::string& name) {
    if (::mkdir(name.c_str(), CFile::kPrivateDirectoryMode) != 0)
        return errno;
    CDescriptor fd(OpenRetrying(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0));
    if (fd.Get() >= 0)
        MakePrivate(fd.Get(), name, CFile::kPrivateDirectoryMode);
    return 0;
}

// The outcome of a by-name operation: true, or false with a WARNING line (the format's last
// conversion takes the error number) and errno set.
template <class... Args>
bool Reported(int error, const char* format, const Args&... args) {
    if (error == 0)
        return true;
    Logger().Warning(format, args..., static_cast<unsigned>(error));
    errno = error;
    return false;
}

template <class Info, class Take>
std::shared_ptr<std::vector<Info>> Enumerate(const std::string& directory, const std::string& pattern, Take take) {
    auto result = std::make_shared<std::vector<Info>>();
    DIR* listing = ::opendir(directory.c_str());
    if (!listing)
        return result;
    std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
    while (dirent* entry = ::readdir(listing)) {
        if (::fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD | FNM_NOESCAPE) != 0)
            continue;
        // The entry itself, never what a link points at: a link is neither a file nor a directory here.
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        take(*result, entry->d_name, directory + "/" + entry->d_name, info);
    }
    return result;
}

}  // namespace

class CFile::CFileImpl {
public:
    CFileImpl(const std::string& name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
    ~CFileImpl();
    CFileImpl(const CFileImpl&) = delete;
    CFileImpl& operator=(const CFileImpl&) = delete;

    uint32_t Read(void* buffer, uint32_t count);
    void Write(const void* buffer, uint32_t count);
    uint32_t SetFilePointer(int32_t distance, uint32_t origin);
    uint32_t GetSize();
    void Flush();
    std::string GetFilename();

    int handle = -1;
    std::string filename;
    bool deleteOnWriteFailure = false;
    bool deleteOnClose = false;

private:
    int OpenOnce(const std::string& name);

    int openFlags = 0;
    int lockOperation = LOCK_EX;
    bool truncate = false;
};

CFile::CFileImpl::CFileImpl(const std::string& name, uint32_t access, uint32_t share, uint32_t disposition,
                            uint32_t flags) {
    Traced([&] {
        deleteOnWriteFailure = (flags & DELETE_ON_WRITE_FAILURE) != 0;
        deleteOnClose = (flags & DELETE_ON_CLOSE) != 0;
        bool reading = (access & ACCESS_READ) != 0, writing = (access & ACCESS_WRITE) != 0;
        openFlags = writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
        lockOperation = share == SHARE_READ || share == SHARE_READ_WRITE ? LOCK_SH : LOCK_EX;
        bool validDisposition = true;
        switch (disposition) {
        case CREATE_NEW: openFlags |= O_CREAT | O_EXCL; break;
        case OPEN_ALWAYS: openFlags |= O_CREAT; break;
        case OPEN_EXISTING: break;
        // Truncated only once the lock is ours: a refused open must leave the holder's data alone.
        case CREATE_ALWAYS: openFlags |= O_CREAT; truncate = true; break;
        default: validDisposition = false;
        }
        if (flags & NO_FOLLOW)
            openFlags |= O_NOFOLLOW;
        if (flags & APPEND)
            openFlags |= O_APPEND;

        if (!(flags & UNIQUE_NAME)) {
            filename = name;
            handle = validDisposition ? OpenOnce(name) : (errno = EINVAL, -1);
            if (handle < 0)
                throw CMessageException("CreateFile('%s') failed, GetLastError=%u", name.c_str(), errno);
            return;
        }
        int error = EINVAL;
        if (validDisposition && IsUniqueNamePattern(name)) {
            for (int attempt = 0; attempt < kUniqueNameAttempts && handle < 0; ++attempt) {
                filename = Format(name.c_str(), static_cast<int>(Random(1000)));
                handle = OpenOnce(filename);
                error = errno;
            }
        }
        if (handle < 0)
            throw CMessageException("CreateFile('%s') failed, GetLastError=%u", name.c_str(), error);
    }, "CFileImpl::CFileImpl('%s')", name.c_str());
}

// A descriptor holding the share lock, or -1 with errno set.
int CFile::CFileImpl::OpenOnce(const std::string& name) {
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        CDescriptor fd(OpenCreating(name, openFlags));
        if (fd.Get() < 0)
            return -1;
        struct stat opened {};
        if (::fstat(fd.Get(), &opened) != 0)
            return -1;
        if (S_ISDIR(opened.st_mode))
            return errno = EISDIR, -1;
        int locked;
        do
            locked = ::flock(fd.Get(), lockOperation | LOCK_NB);
        while (locked != 0 && errno == EINTR);
        if (locked != 0)
            return -1;
        if (deleteOnClose) {
            // The holder unlinks the name before letting go of the lock; a lock taken on a file
            // that no longer bears the name is worthless, so start over on the current file.
            struct stat named {};
            if (::stat(name.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
                continue;
        }
        if (truncate && ::ftruncate(fd.Get(), 0) != 0)
            return -1;
        return fd.Release();
    }
    return errno = EAGAIN, -1;
}

CFile::CFileImpl::~CFileImpl() {
    // Never thrown out of a destructor (that would end the process, also while another exception
    // unwinds): the failure is logged in the trace form instead, and the descriptor always closes.
    Contained([&] {
        CDescriptor closing(handle);  // after the unlink, whatever happens to it
        if (deleteOnClose && !CFile::DeleteFile(filename))
            throw CMessageException("DeleteFile('%s') failed, GetLastError=%u", filename.c_str(), errno);
    }, "CFileImpl::~CFileImpl()");
}

uint32_t CFile::CFileImpl::Read(void* buffer, uint32_t count) {
    return Traced([&] {
        ssize_t got;
        do
            got = ::read(handle, buffer, count);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            throw CMessageException("ReadFile() failed, GetLastError=%u", errno);
        return static_cast<uint32_t>(got);
    }, "CFileImpl::Read(0x%08x, %u)", LabelAddress(buffer), count);
}

void CFile::CFileImpl::Write(const void* buffer, uint32_t count) {
    Traced([&] {
        const char* bytes = static_cast<const char*>(buffer);
        uint32_t done = 0;
        while (done < count) {
            ssize_t put = ::write(handle, bytes + done, count - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                int error = put < 0 ? errno : EIO;
                deleteOnClose = deleteOnClose || deleteOnWriteFailure;
                throw CMessageException("WriteFile() failed, GetLastError=%u", error);
            }
            done += static_cast<uint32_t>(put);
        }
    }, "CFileImpl::Write(0x%08x, %u)", LabelAddress(buffer), count);
}

uint32_t CFile::CFileImpl::SetFilePointer(int32_t distance, uint32_t origin) {
    int whence = origin == BEGIN ? SEEK_SET : origin == END ? SEEK_END : SEEK_CUR;
    off_t before = ::lseek(handle, 0, SEEK_CUR);
    off_t position = before < 0 ? before : ::lseek(handle, distance, whence);
    int error = errno;
    if (position >= 0 && position >= static_cast<off_t>(0xFFFFFFFF)) {
        // Beyond what 32 bits can report: refuse and stay where we were.
        ::lseek(handle, before, SEEK_SET);
        position = -1;
        error = EOVERFLOW;
    }
    if (position < 0)
        throw CMessageException("SetFilePointer(%u, %s) failed, GetLastError=%u", static_cast<unsigned>(distance),
                                OriginName(origin), error);
    return static_cast<uint32_t>(position);
}

uint32_t CFile::CFileImpl::GetSize() {
    return Traced([&] {
        struct stat info {};
        int error = ::fstat(handle, &info) != 0 ? errno : info.st_size >= 0xFFFFFFFF ? EOVERFLOW : 0;
        if (error)
            throw CMessageException("GetSize(%d) failed, GetLastError=%u", handle, error);
        return static_cast<uint32_t>(info.st_size);
    }, "CFileImpl::GetSize()");
}

void CFile::CFileImpl::Flush() {
    if (::fsync(handle) != 0)
        throw CMessageException("FlushFileBuffers() failed, GetLastError=%u", errno);
}

std::string CFile::CFileImpl::GetFilename() {
    return Traced([&] { return filename; }, "CFileImpl::GetFilename()");
}

CFile::CFile(const std::string& name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags)
    : impl(std::make_shared<CFileImpl>(name, access, share, disposition, flags)) {}

uint32_t CFile::Read(void* buffer, uint32_t count) {
    return Traced([&] { return impl->Read(buffer, count); }, "CFile::Read(0x%08x, %u)", LabelAddress(buffer), count);
}

void CFile::Write(const void* buffer, uint32_t count) {
    Traced([&] { impl->Write(buffer, count); }, "CFile::Write(0x%08x, %u)", LabelAddress(buffer), count);
}

uint32_t CFile::SetFilePointer(int32_t distance, uint32_t origin) {
    return Traced([&] { return impl->SetFilePointer(distance, origin); }, "CFile::SetFilePointer(%u, %s)",
                  static_cast<unsigned>(distance), OriginName(origin));
}

uint32_t CFile::GetSize() {
    return Traced([&] { return impl->GetSize(); }, "CFile::GetSize()");
}

void CFile::Flush() {
    Traced([&] { impl->Flush(); }, "CFile::Flush()");
}

void CFile::SetDeleteOnClose(bool deleteOnClose) {
    Traced([&] { impl->deleteOnClose = deleteOnClose; }, "CFile::SetDeleteOnClose(%s)",
           deleteOnClose ? "true" : "false");
}

std::string CFile::GetFilename() {
    return Traced([&] { return impl->GetFilename(); }, "CFile::GetFilename()");
}

bool CFile::DeleteFile(const std::string& name) {
    return Traced([&] {
        return Reported(Errno(::unlink(name.c_str())), "CFile::DeleteFile('%s'): DeleteFile() failed, GetLastError=%u",
                        name.c_str());
    }, "CFile::DeleteFile('%s')", name.c_str());
}

bool CFile::MoveFile(const std::string& from, const std::string& to) {
    return Traced([&] {
        return Reported(MoveNoReplace(from, to), "CFile::MoveFile('%s', '%s'): MoveFile() failed, GetLastError=%u",
                        from.c_str(), to.c_str());
    }, "CFile::MoveFile('%s', '%s')", from.c_str(), to.c_str());
}

bool CFile::MoveFileToUniqueName(const std::string& from, const std::string& pattern, std::string& to) {
    return Traced([&] {
        int error = EINVAL;
        to = pattern;
        if (IsUniqueNamePattern(pattern)) {
            for (int attempt = 0; attempt < kUniqueNameAttempts && (attempt == 0 || error == EEXIST); ++attempt) {
                to = Format(pattern.c_str(), static_cast<int>(Random(1000)));
                if ((error = MoveNoReplace(from, to)) == 0)
                    break;
            }
        }
        return Reported(error, "CFile::MoveFile('%s', '%s'): MoveFile() failed, GetLastError=%u", from.c_str(),
                        to.c_str());
    }, "CFile::MoveFileToUniqueName('%s', '%s')", from.c_str(), pattern.c_str());
}

bool CFile::CopyFile(const std::string& from, const std::string& to) {
    return Traced([&] {
        return Reported(CopyNoReplace(from, to), "CFile::CopyFile('%s', '%s'): CopyFile() failed, GetLastError=%u",
                        from.c_str(), to.c_str());
    }, "CFile::CopyFile('%s', '%s')", from.c_str(), to.c_str());
}

bool CFile::OverwriteFile(const std::string& from, const std::string& to) {
    return Traced([&] {
        return Reported(CopyReplacing(from, to), "CFile::OverwriteFile('%s', '%s'): CopyFile() failed, GetLastError=%u",
                        from.c_str(), to.c_str());
    }, "CFile::OverwriteFile('%s', '%s')", from.c_str(), to.c_str());
}

bool CFile::CreateDirectory(const std::string& name) {
    return Traced([&] {
        return Reported(MakePrivateDirectory(name),
                        "CFile::CreateDirectory('%s'): CreateDirectory() failed, GetLastError=%u", name.c_str());
    }, "CFile::CreateDirectory('%s')", name.c_str());
}

bool CFile::RemoveDirectory(const std::string& name) {
    return Traced([&] {
        return Reported(Errno(::rmdir(name.c_str())),
                        "CFile::RemoveDirectory('%s'): RemoveDirectory() failed, GetLastError=%u", name.c_str());
    }, "CFile::RemoveDirectory('%s')", name.c_str());
}

void CFile::SyncFileSystem(const std::string& path) {
    Traced([&] {
        CDescriptor fd(OpenRetrying(path.c_str(), O_RDONLY, 0));
        if (fd.Get() < 0 || ::syncfs(fd.Get()) != 0)
            throw CMessageException("syncfs('%s') failed, GetLastError=%u", path.c_str(), errno);
    }, "CFile::SyncFileSystem('%s')", path.c_str());
}

CFileInfoList CFile::EnumerateFiles(const std::string& directory, const std::string& pattern) {
    return Traced([&] {
        return Enumerate<CFileInfo>(directory, pattern,
                                    [](std::vector<CFileInfo>& list, const char* name, std::string path,
                                       const struct stat& info) {
            // Only regular files: opening a pipe or a device found among messages could hang or
            // read without end. A move's hidden temporary is not a file yet.
            if (S_ISREG(info.st_mode) && std::string_view(name).rfind(kMoveTemporaryPrefix, 0) != 0)
                list.push_back({name, std::move(path), static_cast<uint64_t>(info.st_size),
                                static_cast<uint32_t>(info.st_mtim.tv_sec)});
        });
    }, "CFile::EnumerateFiles('%s', '%s')", directory.c_str(), pattern.c_str());
}

CDirInfoList CFile::EnumerateDirs(const std::string& directory, const std::string& pattern) {
    return Traced([&] {
        return Enumerate<CDirInfo>(directory, pattern,
                                   [](std::vector<CDirInfo>& list, const char* name, std::string path,
                                      const struct stat& info) {
            if (S_ISDIR(info.st_mode))
                list.push_back({name, std::move(path)});
        });
    }, "CFile::EnumerateDirs('%s', '%s')", directory.c_str(), pattern.c_str());
}

}  // namespace Ovrin
