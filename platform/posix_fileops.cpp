// POSIX only: CopyFileW, DeleteFileW and SHFileOperationW (FO_COPY, FO_DELETE).
// Replaces files only by rename from a temporary name; walks trees by descriptor, never following a link.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>

#include "platform/posix_crew.h"
#include "platform/posix_internal.h"
#include "platform/posix_stop.h"
#include "platform/posix_text.h"

std::atomic<bool> twinfold::g_stopRequested{false};

namespace twinfold::posix {

// ---- shared helpers (declared in posix_internal.h) ----

int WriteAll(int fd, const char* data, std::size_t size, const std::string& hookPath) {
    while (size > 0) {
        if (fault::Strike(fault::Call::write, hookPath.c_str())) return errno;
        ssize_t written;
        do {
            written = ::write(fd, data, size);
        } while (written < 0 && errno == EINTR);
        if (written < 0) return errno;
        if (written == 0) return EIO;  // no progress and no reason: do not spin
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int RenameNoReplaceAt(int fromFd, const char* from, int toFd, const char* to, const std::string& hookPath) {
    if (fault::Strike(fault::Call::rename, hookPath.c_str())) return -1;
    return ChangeInFolders(fromFd, toFd, [&] {
        if (::renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS) return -1;
        struct stat existing {};
        if (::fstatat(toFd, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return -1;
        }
        return ::renameat(fromFd, from, toFd, to);
    });
}

namespace {

// Read-only folders are made writable one call at a time, and by one thread at a time, so that a
// mode taken to put back is always the folder's own, never one another thread set for a moment.
std::mutex g_folderModes;

// chmod of the folder an open descriptor stands for, also a descriptor opened with O_PATH (which
// fchmod refuses): through the descriptor's entry in /proc, never through a path that could have
// changed since.
int ChangeFolderMode(int fd, mode_t mode) {
    if (::fchmod(fd, mode) == 0) return 0;
    if (errno != EBADF) return -1;
    char entry[32];
    std::snprintf(entry, sizeof entry, "/proc/self/fd/%d", fd);
    return ::chmod(entry, mode);
}

// Makes the folder `fd` writable and searchable for its owner while it lives, when the folder is ours
// and is not; puts its mode back when it ends.
class WritableWhileAlive {
public:
    explicit WritableWhileAlive(int fd) {
        struct stat st {};
        constexpr mode_t kNeeded = S_IWUSR | S_IXUSR;
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & kNeeded) == kNeeded) {
            return;
        }
        if (ChangeFolderMode(fd, (st.st_mode & 07777) | kNeeded) == 0) {
            m_fd = fd;
            m_mode = st.st_mode & 07777;
        }
    }
    ~WritableWhileAlive() {
        const int error = errno;
        if (m_fd >= 0) ChangeFolderMode(m_fd, m_mode);
        errno = error;
    }
    WritableWhileAlive(const WritableWhileAlive&) = delete;
    WritableWhileAlive& operator=(const WritableWhileAlive&) = delete;
    bool Changed() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    mode_t m_mode = 0;
};

}  // namespace

int ChangeInReadOnlyFolders(int dirFd, int otherDirFd, const std::function<int()>& change) {
    const int refused = errno;
    std::lock_guard<std::mutex> lock(g_folderModes);
    const WritableWhileAlive first(dirFd);
    const WritableWhileAlive second(otherDirFd != dirFd ? otherDirFd : -1);
    if (!first.Changed() && !second.Changed()) {
        errno = refused;
        return -1;
    }
    return change();
}

bool DirReader::Next(Entry& entry, const std::string& hookPath) {
    for (;;) {
        if (fault::Strike(fault::Call::list, hookPath.c_str())) return false;
        if (m_next < m_filled) {
            const auto* record = reinterpret_cast<const struct dirent64*>(m_buffer.get() + m_next);
            m_next += record->d_reclen;
            entry = Entry{record->d_name, record->d_type, static_cast<ino_t>(record->d_ino)};
            return true;
        }
        if (!m_buffer) m_buffer.reset(new char[kBufferSize]);
        ssize_t got;
        do {
            got = ::getdents64(m_fd, m_buffer.get(), kBufferSize);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            if (got == 0) errno = 0;
            return false;
        }
        m_filled = static_cast<std::size_t>(got);
        m_next = 0;
    }
}

Status ReadNames(const At& dir, std::vector<std::string>& names, std::vector<unsigned char>* types) {
    if (fault::Strike(fault::Call::list, dir.path.c_str())) return Fail(errno, dir.path);
    // From the start, whatever was read from the descriptor before.
    if (::lseek(dir.fd, 0, SEEK_SET) != 0) return Fail(errno, dir.path);
    DirReader reader(dir.fd);
    DirReader::Entry entry{};
    for (;;) {
        if (!reader.Next(entry, dir.path)) {
            if (errno != 0) return Fail(errno, dir.path);
            return Status{};
        }
        if (std::strcmp(entry.name, ".") == 0 || std::strcmp(entry.name, "..") == 0) continue;
        names.emplace_back(entry.name);
        if (types != nullptr) types->push_back(entry.type);
    }
}

namespace {

// The program's one generator of temporary names, in the bytes of a POSIX name (it is plain ASCII).
std::string RandomTempName() { return BytesFromWide(TemporaryName()); }

constexpr int kTempAttempts = 16;

}  // namespace

TempEntry::~TempEntry() {
    m_fd.Reset();
    // Cleanup is not an operation anyone asked for, so the fault hook does not see it.
    if (m_exists) RemoveOwnEntry(m_dir.fd, m_name.c_str());
}

Status TempEntry::CreateFile(mode_t mode) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::string name = RandomTempName();
        const int fd = OpenAt(m_dir.fd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode,
                              fault::Call::open, m_dir.Child(name));
        if (fd >= 0) {
            m_fd.Reset(fd);
            m_name = std::move(name);
            m_exists = true;
            return Status{};
        }
        if (errno != EEXIST) return Fail(errno, m_dir.Child(name));
    }
    return Fail(EEXIST, m_dir.path);
}

Status TempEntry::CreateLink(const std::string& target) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::string name = RandomTempName();
        if (SymlinkAt(target.c_str(), m_dir.fd, name.c_str(), m_dir.Child(name)) == 0) {
            m_name = std::move(name);
            m_exists = true;
            return Status{};
        }
        if (errno != EEXIST) return Fail(errno, m_dir.Child(name));
    }
    return Fail(EEXIST, m_dir.path);
}

Status TempEntry::CreateNode(mode_t type, dev_t device) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::string name = RandomTempName();
        const auto make = [&] { return ::mknodat(m_dir.fd, name.c_str(), type | 0600, device); };
        if (ChangeInFolders(m_dir.fd, -1, make) == 0) {
            m_name = std::move(name);
            m_exists = true;
            return Status{};
        }
        if (errno != EEXIST) return Fail(errno, m_dir.Child(name));
    }
    return Fail(EEXIST, m_dir.path);
}

Status TempEntry::CommitAs(const std::string& finalName, Landing landing) {
    const std::string finalPath = m_dir.Child(finalName);
    if (m_fd.Valid() && m_fd.Close() != 0) return Fail(errno, finalPath);
    const int renamed = landing == Landing::replace
                            ? RenameAt(m_dir.fd, m_name.c_str(), m_dir.fd, finalName.c_str(), finalPath)
                            : RenameNoReplaceAt(m_dir.fd, m_name.c_str(), m_dir.fd, finalName.c_str(), finalPath);
    if (renamed != 0) return Fail(errno, finalPath);
    m_exists = false;
    return Status{};
}

namespace {

constexpr std::size_t kKernelCopyChunk = std::size_t{1} << 30;
constexpr std::size_t kBufferSize = std::size_t{256} << 10;

// Copies from `in` to `out`, each from its current offset, until the end of `in` or `limit` bytes.
// The kernel copies when it can (reflinks, no user-space buffer); file systems that refuse fall
// back to read and write for the rest.
Status CopyData(int in, int out, const std::string& srcPath, const std::string& dstPath,
                std::uint64_t limit = UINT64_MAX) {
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    for (;;) {
        if (limit == 0) return Status{};
        if (fault::Strike(fault::Call::read, srcPath.c_str())) return Fail(errno, srcPath);
        if (g_stopRequested.load(std::memory_order_relaxed)) return Fail(EINTR, dstPath);
        if (kernelCopy) {
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kKernelCopyChunk, limit));
            ssize_t copied;
            do {
                copied = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            } while (copied < 0 && errno == EINTR);
            if (copied > 0) {
                // The write already happened, but the temporary file is discarded on failure, so
                // failing here has the same outcome as a failed write.
                if (fault::Strike(fault::Call::write, dstPath.c_str())) return Fail(errno, dstPath);
                limit -= static_cast<std::uint64_t>(copied);
                continue;
            }
            if (copied == 0) return Status{};
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP && errno != EBADF) {
                return Fail(errno, (errno == ENOSPC || errno == EDQUOT) ? dstPath : srcPath);
            }
            kernelCopy = false;  // nothing was copied by the failed call: carry on from the same offsets
        }
        if (!buffer) buffer.reset(new char[kBufferSize]);
        ssize_t got;
        do {
            got = ::read(in, buffer.get(), std::min<std::uint64_t>(kBufferSize, limit));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return Fail(errno, srcPath);
        if (got == 0) return Status{};
        if (const int error = WriteAll(out, buffer.get(), static_cast<std::size_t>(got), dstPath)) {
            return Fail(error, dstPath);
        }
        limit -= static_cast<std::uint64_t>(got);
    }
}

// Fewer blocks than the size needs: the file has holes (or is compressed, which the walk below
// finds out at the cost of two lseeks).
bool MayHaveHoles(const struct stat& st) { return st.st_blocks * 512 < st.st_size; }

// Copies only the data regions of `in` into the new file `out`, so that its holes stay holes, and
// sets the exact size at the end (a trailing hole has no data to write). A destination file system
// without holes fills the gaps with zeros itself: the copy is then plain.
Status CopySparseData(int in, int out, const std::string& srcPath, const std::string& dstPath) {
    off_t offset = 0;
    for (;;) {
        const off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole from `offset` to the end
            if (offset == 0 && errno == EINVAL) return CopyData(in, out, srcPath, dstPath);  // no SEEK_DATA here
            return Fail(errno, srcPath);
        }
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0 || ::lseek(in, data, SEEK_SET) < 0) return Fail(errno, srcPath);
        if (::lseek(out, data, SEEK_SET) < 0) return Fail(errno, dstPath);
        const Status status = CopyData(in, out, srcPath, dstPath, static_cast<std::uint64_t>(hole - data));
        if (!status.Ok()) return status;
        offset = hole;
    }
    struct stat st {};
    if (::fstat(in, &st) != 0) return Fail(errno, srcPath);
    if (::ftruncate(out, st.st_size) != 0) return Fail(errno, dstPath);
    return Status{};
}

// Gives a new entry (the descriptor `fd`, or `name` in the folder `fd`, not followed) the source's
// owner and group, as cp -a does, and returns the permission bits to set afterwards: chown clears
// the set-id bits, so the mode must come second. Where the owner cannot be kept (not root, or
// refused), the set-user-id and set-group-id bits are dropped, so that a copy never becomes a set-id
// program of whoever runs the mirror.
mode_t KeepOwner(int fd, const char* name, const struct stat& st) {
    const int result = name == nullptr ? ::fchown(fd, st.st_uid, st.st_gid)
                                       : ::fchownat(fd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    return result == 0 ? (st.st_mode & 07777) : (st.st_mode & 07777 & ~mode_t{S_ISUID | S_ISGID});
}

// The data, then the owner, permission bits and times of the source (`st`), into the open file `out`.
Status FinishRegular(int in, int out, const struct stat& st, const std::string& srcPath, const std::string& dstPath) {
    Status status = MayHaveHoles(st) ? CopySparseData(in, out, srcPath, dstPath) : CopyData(in, out, srcPath, dstPath);
    if (!status.Ok()) return status;
    if (::fchmod(out, KeepOwner(out, nullptr, st)) != 0) return Fail(errno, dstPath);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) return Fail(errno, dstPath);
    return Status{};
}

// No fsync: a mirror run is repeated until it matches, and syncing every file would multiply its
// time. The rename still guarantees that a destination is either the old file or a complete copy.
// `copied`, when given, receives the size of what was copied.
Status CopyRegularAt(const At& src, const std::string& name, const At& dst, const std::string& dstName, Landing landing,
                     std::uint64_t* copied = nullptr) {
    const std::string srcPath = src.Child(name);
    // O_NONBLOCK and the S_ISREG check: a FIFO swapped in since the lstat must not hang the copy.
    Fd in(OpenAt(src.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0, fault::Call::open, srcPath));
    if (!in.Valid()) return Fail(errno, srcPath);
    struct stat st {};
    if (::fstat(in.Get(), &st) != 0) return Fail(errno, srcPath);
    if (!S_ISREG(st.st_mode)) return Fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP, srcPath);
    if (copied != nullptr) *copied = static_cast<std::uint64_t>(st.st_size);

    if (landing == Landing::create) {
        // The name is the caller's own new entry (a temporary name, or a file in a folder that the
        // copy itself created): written in place, and never over anything that is already there.
        const std::string dstPath = dst.Child(dstName);
        Fd out(OpenAt(dst.fd, dstName.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600,
                      fault::Call::open, dstPath));
        if (!out.Valid()) return Fail(errno, dstPath);
        const Status status = FinishRegular(in.Get(), out.Get(), st, srcPath, dstPath);
        if (!status.Ok()) {
            out.Reset();
            RemoveOwnEntry(dst.fd, dstName.c_str());  // our own partial file
            return status;
        }
        if (out.Close() != 0) {
            const Status closed = Fail(errno, dstPath);
            RemoveOwnEntry(dst.fd, dstName.c_str());
            return closed;
        }
        return Status{};
    }
    TempEntry temp(dst);
    Status status = temp.CreateFile(0600);
    if (!status.Ok()) return status;
    status = FinishRegular(in.Get(), temp.FileFd(), st, srcPath, temp.Path());
    if (!status.Ok()) return status;
    return temp.CommitAs(dstName, Landing::replace);
}

Status ReadLinkAt(const At& dir, const std::string& name, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlinkat(dir.fd, name.c_str(), buffer.data(), buffer.size());
        if (length < 0) return Fail(errno, dir.Child(name));
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(length));
            return Status{};
        }
        if (buffer.size() >= (std::size_t{1} << 20)) return Fail(ENAMETOOLONG, dir.Child(name));
        buffer.resize(buffer.size() * 2);
    }
}

// Gives a link just made at `name` the source link's owner and times. The times are a courtesy: some
// file systems refuse them, and the link is whole anyway.
void FinishLink(const At& dst, const char* name, const struct stat& st) {
    KeepOwner(dst.fd, name, st);  // a link has no mode of its own
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(dst.fd, name, times, AT_SYMLINK_NOFOLLOW);
}

// A new entry (Landing::create) is made directly under the name it is given, which is the caller's
// own; one that replaces what is there is made under a temporary name and renamed over it.
Status CopyLinkAt(const At& src, const std::string& name, const struct stat& st, const At& dst,
                  const std::string& dstName, Landing landing) {
    std::string target;
    Status status = ReadLinkAt(src, name, target);
    if (!status.Ok()) return status;
    if (landing == Landing::create) {
        if (SymlinkAt(target.c_str(), dst.fd, dstName.c_str(), dst.Child(dstName)) != 0) {
            return Fail(errno, dst.Child(dstName));
        }
        FinishLink(dst, dstName.c_str(), st);
        return Status{};
    }
    TempEntry temp(dst);
    status = temp.CreateLink(target);
    if (!status.Ok()) return status;
    FinishLink(dst, temp.Name().c_str(), st);
    return temp.CommitAs(dstName, landing);
}

// Gives a node just made at `name`, owner-only, the source's owner, mode and times.
Status FinishNode(const At& dst, const char* name, const struct stat& st) {
    if (::fchmodat(dst.fd, name, KeepOwner(dst.fd, name, st), 0) != 0) return Fail(errno, dst.Child(name));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(dst.fd, name, times, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno, dst.Child(name));
    return Status{};
}

// A FIFO, socket or device node is made anew with the source's kind and device number, never opened
// (a FIFO would block the copy, a device would be read to no end); directly under a new name, as
// a link is.
Status CopySpecialAt(const struct stat& st, const At& dst, const std::string& dstName, Landing landing) {
    if (landing == Landing::create) {
        const auto make = [&] { return ::mknodat(dst.fd, dstName.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev); };
        if (ChangeInFolders(dst.fd, -1, make) != 0) return Fail(errno, dst.Child(dstName));
        const Status status = FinishNode(dst, dstName.c_str(), st);
        if (!status.Ok()) RemoveOwnEntry(dst.fd, dstName.c_str());  // our own, half made
        return status;
    }
    TempEntry temp(dst);
    Status status = temp.CreateNode(st.st_mode & S_IFMT, st.st_rdev);
    if (!status.Ok()) return status;
    status = FinishNode(dst, temp.Name().c_str(), st);
    if (!status.Ok()) return status;
    return temp.CommitAs(dstName, landing);
}

// Copies one entry that is not a directory; `st` is its lstat. A directory already at the
// destination is never replaced; with Landing::create nothing that is already there is.
// A directory in the place a replacement would take: never replaced.
bool DirectoryInTheWay(const At& dst, const std::string& dstName) {
    struct stat existing {};
    return ::fstatat(dst.fd, dstName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode);
}

Status CopyNonDirectoryAt(const At& src, const std::string& name, const struct stat& st, const At& dst,
                          const std::string& dstName, Landing landing, std::uint64_t* copied = nullptr) {
    if (landing == Landing::replace && DirectoryInTheWay(dst, dstName)) return Fail(EISDIR, dst.Child(dstName));
    if (S_ISLNK(st.st_mode)) return CopyLinkAt(src, name, st, dst, dstName, landing);
    if (S_ISREG(st.st_mode)) return CopyRegularAt(src, name, dst, dstName, landing, copied);
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return CopySpecialAt(st, dst, dstName, landing);
    }
    return Fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP, src.Child(name));
}

// A name that the listing gave as a regular file, copied without an lstat of its own: the open that
// reads it checks what it is. Gone since the listing, it is passed over, as an entry whose lstat
// finds nothing is.
// `gone` tells which of the two it was.
Status CopyListedFileAt(const At& src, const std::string& name, const At& dst, Landing landing, std::uint64_t& copied,
                        bool& gone) {
    gone = false;
    if (landing == Landing::replace && DirectoryInTheWay(dst, name)) return Fail(EISDIR, dst.Child(name));
    Status status = CopyRegularAt(src, name, dst, name, landing, &copied);
    if (status.error == ENOENT && status.path == src.Child(name)) {
        struct stat st {};
        gone = ::fstatat(src.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
        if (gone) return Status{};
    }
    return status;
}

// What the last folder copy of this thread made; valid only after one that succeeded.
struct FolderCopyDigest {
    bool valid = false;
    EntryDigest digest;
};
thread_local FolderCopyDigest t_lastFolderCopy;
// Set while an UnreadableFoldersLeftOut lives on this thread.
thread_local bool t_leaveOutUnreadable = false;

// The digest of a folder copy in the making; its files are counted on whichever thread copies them.
class DigestInTheMaking {
public:
    void Add(std::uint64_t pathHash, EntryDigest::Kind kind, std::uint64_t size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_digest.Add(pathHash, kind, size);
    }
    EntryDigest Result() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_digest;
    }

private:
    std::mutex m_mutex;
    EntryDigest m_digest;
};

std::uint64_t NameHash(std::uint64_t folder, const std::string& name) {
    const std::wstring wide = WideFromBytes(name);
    return EntryDigest::PathHash(folder, wide.data(), wide.size());
}

EntryDigest::Kind KindOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return EntryDigest::Kind::folder;
    return S_ISLNK(st.st_mode) ? EntryDigest::Kind::link : EntryDigest::Kind::other;
}

// The directories from a walk's root down to the one being worked on. Only the deepest few keep
// their descriptor, so a deep tree cannot run out of descriptors; a closed one is reopened as ".."
// of its child and must still be the same directory, or the walk stops.
class DirChain {
public:
    explicit DirChain(const std::string& basePath) : m_path(basePath) {}

    bool Empty() const { return m_levels.empty(); }
    At Top() const { return At{m_levels.back().fd.Get(), m_path}; }
    const std::string& TopName() const { return m_levels.back().name; }

    Status Push(Fd fd, const std::string& name) {
        struct stat st {};
        const std::string path = JoinPath(m_path, name);
        if (::fstat(fd.Get(), &st) != 0) return Fail(errno, path);
        // A folder copied or removed whole may hold a mount point that shows a part of the other tree.
        if (const int error = CheckFolderMount(path, fd.Get())) return Fail(error, path);
        m_levels.push_back(Level{std::move(fd), st.st_dev, st.st_ino, m_path.size(), name});
        m_path = path;
        if (m_levels.size() > kOpenLevels) m_levels[m_levels.size() - 1 - kOpenLevels].fd.Reset();
        return Status{};
    }

    // Leaves the deepest directory; the one above it is open afterwards.
    Status Pop() {
        Level& top = m_levels.back();
        const std::string parentPath = m_path.substr(0, top.pathLength);
        if (m_levels.size() >= 2) {
            Level& parent = m_levels[m_levels.size() - 2];
            if (!parent.fd.Valid()) {
                Fd reopened(::openat(top.fd.Get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (!reopened.Valid()) return Fail(errno, parentPath);
                struct stat st {};
                if (::fstat(reopened.Get(), &st) != 0) return Fail(errno, parentPath);
                // Moved elsewhere while we were below it: continuing would work on the wrong folder.
                if (st.st_dev != parent.dev || st.st_ino != parent.ino) return Fail(ESTALE, parentPath);
                parent.fd = std::move(reopened);
            }
        }
        m_path = parentPath;
        m_levels.pop_back();
        return Status{};
    }

private:
    static constexpr std::size_t kOpenLevels = 16;
    struct Level {
        Fd fd;
        dev_t dev;
        ino_t ino;
        std::size_t pathLength;  // of the parent's path
        std::string name;
    };
    std::vector<Level> m_levels;
    std::string m_path;
};

// Opens a subdirectory without following a link in its place.
int OpenSubdirectory(int dirFd, const std::string& name) {
    return ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The depth-first walk below one folder that the recursive copy and removal share: each folder
// entered is read completely first, then its names are handed out one by one; a folder is left once
// its names are done. Everything is relative to open descriptors (see DirChain).
class FolderWalk {
public:
    explicit FolderWalk(const std::string& basePath) : m_chain(basePath) {}

    bool Done() const { return m_names.empty(); }
    At Top() const { return m_chain.Top(); }
    const std::string& TopName() const { return m_chain.TopName(); }

    // Makes the open folder `fd`, named `name` in the current one, the current folder.
    Status Enter(Fd fd, const std::string& name) {
        Status status = m_chain.Push(std::move(fd), name);
        if (!status.Ok()) return status;
        m_names.emplace_back();
        m_types.emplace_back();
        m_next.push_back(0);
        return ReadNames(m_chain.Top(), m_names.back(), &m_types.back());
    }
    // The next name of the current folder and the kind its listing gave (a DT_ value; DT_UNKNOWN
    // where the file system does not say); false once they are all handed out.
    bool NextName(std::string& name, unsigned char& type) {
        if (m_next.back() == m_names.back().size()) return false;
        type = m_types.back()[m_next.back()];
        name = m_names.back()[m_next.back()++];
        return true;
    }
    // Back to the folder above; its descriptor is open afterwards.
    Status Leave() {
        m_names.pop_back();
        m_types.pop_back();
        m_next.pop_back();
        return m_chain.Pop();
    }
    bool AtBase() const { return m_chain.Empty(); }

private:
    DirChain m_chain;
    std::vector<std::vector<std::string>> m_names;
    std::vector<std::vector<unsigned char>> m_types;
    std::vector<std::size_t> m_next;
};

// Removes the directory `name` in `base` with everything in it. Every step is relative to an open
// parent, and a subdirectory is opened with O_NOFOLLOW, so nothing outside is ever touched, even
// when a folder inside is swapped for a link while this runs.
Status RemoveDirectoryAt(const At& base, const std::string& name) {
    FolderWalk walk(base.path);
    Fd rootFd(OpenSubdirectory(base.fd, name));
    if (!rootFd.Valid()) return Fail(errno, base.Child(name));
    Status status = walk.Enter(std::move(rootFd), name);
    if (!status.Ok()) return status;
    std::string entry;
    unsigned char type = DT_UNKNOWN;
    while (!walk.Done()) {
        const At dir = walk.Top();
        if (walk.NextName(entry, type)) {
            const std::string entryPath = dir.Child(entry);
            struct stat st {};
            if (::fstatat(dir.fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                return Fail(errno, entryPath);
            }
            if (S_ISDIR(st.st_mode)) {
                // The hook sits between the lstat and the open: the moment a swap for a link would strike.
                Fd fd(fault::Strike(fault::Call::open, entryPath.c_str()) ? -1 : OpenSubdirectory(dir.fd, entry));
                if (fd.Valid()) {
                    status = walk.Enter(std::move(fd), entry);
                    if (!status.Ok()) return status;
                    continue;
                }
                if (errno == ENOENT) continue;
                // No longer a directory (a link or file swapped in): removed below as what it is now.
                if (errno != ENOTDIR && errno != ELOOP) return Fail(errno, entryPath);
            }
            if (UnlinkAt(dir.fd, entry.c_str(), 0, entryPath) != 0 && errno != ENOENT) return Fail(errno, entryPath);
            continue;
        }
        const std::string doneName = walk.TopName();
        status = walk.Leave();
        if (!status.Ok()) return status;
        const int parentFd = walk.AtBase() ? base.fd : walk.Top().fd;
        if (UnlinkAt(parentFd, doneName.c_str(), AT_REMOVEDIR, dir.path) != 0 && !(errno == ENOENT && !walk.AtBase())) {
            return Fail(errno, dir.path);
        }
    }
    return Status{};
}

// Creates (or, when it is already a directory, reuses) `name` in `dst` and opens it. Something
// else in its place, a link to a directory included, is an existing entry and fails.
Status MakeDirectoryAt(const At& dst, const std::string& name, Fd& fd, bool& created) {
    const std::string path = dst.Child(name);
    // Owner-only until the contents are in; the source's bits are set afterwards.
    created = MkdirAt(dst.fd, name.c_str(), 0700, path) == 0;
    if (!created && errno != EEXIST) return Fail(errno, path);
    fd.Reset(OpenSubdirectory(dst.fd, name));
    if (!fd.Valid()) return Fail((errno == ENOTDIR || errno == ELOOP) ? EEXIST : errno, path);
    return Status{};
}

// The files of each folder are copied side by side (see Crew); its subfolders are entered one
// after another once its files are done, and its own bits and times are set last of all. The order
// inside the copy does not matter to anyone: the folder copy is one operation, and the pass lands
// it under its final name only once it is complete.
Status CopyDirectoryAt(const At& srcBase, const std::string& name, const At& dstBase, const std::string& dstName) {
    FolderWalk walk(srcBase.path);
    DirChain dstChain(dstBase.path);
    // Per folder being copied: the source folder's own lstat, whether the copy made its counterpart
    // (what goes into a new folder is new and is written directly under its name), and the
    // subfolders it holds, entered once its files are copied.
    struct Made {
        struct stat st;
        bool created;
        std::uint64_t pathHash;  // of its path from the folder being copied (see EntryDigest)
        std::vector<std::string> subfolders;
        std::size_t nextSubfolder;
    };
    std::vector<Made> made;
    // Everything made below the folder, summed up for the pass that asked for the copy.
    DigestInTheMaking digest;
    // Declared after the folders it works in, so that it is done with them before they are closed.
    Crew crew;
    // One thread would have met the failure of a file queued earlier first.
    auto failed = [&crew](Status status) {
        Status earlier = crew.Finish();
        return earlier.Ok() ? status : earlier;
    };

    auto enter = [&](const At& srcParent, const std::string& child, const At& dstParent,
                     const std::string& dstChild) -> Status {
        Fd src(OpenSubdirectory(srcParent.fd, child));
        // A folder below that may not be read is left out where the caller asked for that.
        if (!src.Valid() && errno == EACCES && t_leaveOutUnreadable && !made.empty()) return Status{};
        if (!src.Valid()) return Fail(errno, srcParent.Child(child));
        Made folder{};
        if (::fstat(src.Get(), &folder.st) != 0) return Fail(errno, srcParent.Child(child));
        Fd dst;
        Status status = MakeDirectoryAt(dstParent, dstChild, dst, folder.created);
        if (!status.Ok()) return status;
        if (!made.empty()) {
            folder.pathHash = NameHash(made.back().pathHash, child);
            digest.Add(folder.pathHash, EntryDigest::Kind::folder, 0);
        }
        made.push_back(std::move(folder));
        status = dstChain.Push(std::move(dst), dstChild);
        return status.Ok() ? walk.Enter(std::move(src), child) : status;
    };

    Status status = enter(srcBase, name, dstBase, dstName);
    if (!status.Ok()) return status;
    std::string entry;
    unsigned char type = DT_UNKNOWN;
    while (!walk.Done()) {
        const At src = walk.Top();
        const At dst = dstChain.Top();
        if (walk.NextName(entry, type)) {
            const Landing landing = made.back().created ? Landing::create : Landing::replace;
            const std::uint64_t pathHash = NameHash(made.back().pathHash, entry);
            if (type == DT_REG) {
                crew.Add([src, entry, dst, landing, pathHash, &digest] {
                    std::uint64_t copied = 0;
                    bool gone = false;
                    Status status = CopyListedFileAt(src, entry, dst, landing, copied, gone);
                    if (status.Ok() && !gone) digest.Add(pathHash, EntryDigest::Kind::other, copied);
                    return status;
                });
                continue;
            }
            struct stat st {};
            if (::fstatat(src.fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;  // removed from the source since it was listed
                return failed(Fail(errno, src.Child(entry)));
            }
            if (S_ISDIR(st.st_mode)) {
                made.back().subfolders.push_back(entry);
                continue;
            }
            crew.Add([src, entry, st, dst, landing, pathHash, &digest] {
                std::uint64_t copied = S_ISLNK(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
                Status status = CopyNonDirectoryAt(src, entry, st, dst, entry, landing, &copied);
                if (status.Ok()) digest.Add(pathHash, KindOf(st), copied);
                return status;
            });
            continue;
        }
        // The folder's names are all seen: its files must be in before anything below it is entered,
        // since the walk may close this folder's descriptors on the way down.
        status = crew.Finish();
        if (!status.Ok()) return status;
        Made& folder = made.back();
        if (folder.nextSubfolder < folder.subfolders.size()) {
            const std::string subfolder = folder.subfolders[folder.nextSubfolder++];
            status = enter(src, subfolder, dst, subfolder);
            if (!status.Ok()) return status;
            continue;
        }
        // Last, so that creating the contents does not change them again.
        if (::fchmod(dst.fd, KeepOwner(dst.fd, nullptr, folder.st)) != 0) return Fail(errno, dst.path);
        const struct timespec times[2] = {folder.st.st_atim, folder.st.st_mtim};
        if (::futimens(dst.fd, times) != 0) return Fail(errno, dst.path);
        made.pop_back();
        status = walk.Leave();
        if (status.Ok()) status = dstChain.Pop();
        if (!status.Ok()) return status;
    }
    t_lastFolderCopy.digest = digest.Result();
    t_lastFolderCopy.valid = true;
    return Status{};
}

// stat of a path of any length; 0 or an errno.
int StatPath(const std::string& path, struct stat& st) {
    PathAt at;
    if (const int error = at.Open(path)) return error;
    return ::fstatat(at.Dir(), at.Name(), &st, at.StatFlags()) == 0 ? 0 : errno;
}

// mkdir -p, with the permission bits the umask allows.
Status MakeParents(const std::string& dir) {
    struct stat st {};
    const int error = StatPath(dir, st);
    if (error == 0) return S_ISDIR(st.st_mode) ? Status{} : Fail(ENOTDIR, dir);
    if (error != ENOENT) return Fail(error, dir);
    std::string parent;
    std::string name;
    if (!SplitLast(dir, parent, name)) return Fail(ENOENT, dir);
    if (parent != dir) {
        Status status = MakeParents(parent);
        if (!status.Ok()) return status;
    }
    PathAt at;
    if (const int openError = at.Open(dir)) return Fail(openError, dir);
    if (MkdirAt(at.Dir(), at.Name(), 0777, dir) == 0) return Status{};
    if (errno == EEXIST && StatPath(dir, st) == 0 && S_ISDIR(st.st_mode)) return Status{};
    return Fail(errno == EEXIST ? ENOTDIR : errno, dir);
}

// An entry a caller may name for copying or removal: not the root, not "." or "..".
bool SplitEntry(const std::string& path, std::string& parent, std::string& name) {
    return SplitLast(path, parent, name) && name != "." && name != "..";
}

bool IsInside(const std::string& path, const std::string& dir) {
    if (dir == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

// The entry that a full path names, reached through the folder that holds it.
struct NamedEntry {
    std::string path;
    std::string parent;
    std::string name;
    int dir = -1;  // the folder: `opened`, or the one of another entry in the same folder
    Fd opened;

    At Parent() const { return At{dir, parent}; }
    // Takes `fullPath` apart; EINVAL for a path that names no entry a caller may copy or remove.
    Status Name(const std::string& fullPath) {
        path = fullPath;
        return SplitEntry(path, parent, name) ? Status{} : Fail(EINVAL, path);
    }
    // Opens the folder (below a pass's root, never through a link), afresh for every call, so that a
    // folder swapped for a link since the last call is refused, not written into by an older handle.
    Status Open() {
        PathAt at;
        const int error = at.OpenFolder(parent, O_PATH, opened);
        dir = opened.Get();
        return error == 0 ? Status{} : Fail(error, path);
    }
    // As Open, sharing the folder of `other` (which must outlive this) when it is the same one.
    Status OpenBeside(const NamedEntry& other) {
        if (other.dir < 0 || other.parent != parent) return Open();
        dir = other.dir;
        return Status{};
    }
    // The entry's own lstat.
    Status Stat(struct stat& st) const {
        return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? Status{} : Fail(errno, path);
    }
};

Status CopyFileEntry(const std::string& from, const std::string& to, Landing landing) {
    NamedEntry src, dst;
    struct stat st {};
    Status status = src.Name(from);
    if (status.Ok()) status = dst.Name(to);
    if (status.Ok()) status = src.Open();
    if (status.Ok()) status = dst.OpenBeside(src);
    if (status.Ok()) status = src.Stat(st);
    if (!status.Ok()) return status;
    return CopyNonDirectoryAt(src.Parent(), src.name, st, dst.Parent(), dst.name, landing);
}

Status CopyEntry(const std::string& from, const std::string& to) {
    NamedEntry src, dst;
    struct stat st {};
    Status status = src.Name(from);
    if (status.Ok()) status = dst.Name(to);
    if (status.Ok()) status = src.Open();
    if (status.Ok()) status = src.Stat(st);
    if (!status.Ok()) return status;

    // A directory copied into itself would grow while it is walked. Resolving both paths costs a
    // walk of every component, so only a directory, the one case that can recurse, pays for it.
    if (S_ISDIR(st.st_mode)) {
        const std::string srcKey = ResolveEntryPath(from);
        const std::string dstKey = ResolveEntryPath(to);
        if (srcKey.empty() || dstKey.empty()) return Fail(EINVAL, to);
        if (dstKey == srcKey || IsInside(dstKey, srcKey)) return Fail(EINVAL, to);
    }

    // The folder to copy into is there far more often than not; only when it cannot be opened is it
    // made (which also says why, when it cannot be).
    if (!dst.Open().Ok()) {
        status = MakeParents(dst.parent);
        if (status.Ok()) status = dst.Open();
        if (!status.Ok()) return status;
    }
    if (S_ISDIR(st.st_mode)) return CopyDirectoryAt(src.Parent(), src.name, dst.Parent(), dst.name);
    // Where nothing has the name yet (the copy pass asks for copies under names of its own), the copy
    // is written under it directly, as the shell does; a temporary name and a rename are needed only
    // to replace what is there.
    status = CopyNonDirectoryAt(src.Parent(), src.name, st, dst.Parent(), dst.name, Landing::create);
    if (status.error != EEXIST || status.path != dst.Parent().Child(dst.name)) return status;
    // An entry copied onto itself would be replaced by its own copy (or a link by a link to itself).
    struct stat existing {};
    if (dst.Stat(existing).Ok() && existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) return Fail(EINVAL, to);
    return CopyNonDirectoryAt(src.Parent(), src.name, st, dst.Parent(), dst.name, Landing::replace);
}

// Renames `from` to `to`. With `replace`, an existing file or link at `to` is replaced, but never a
// folder (as on Windows); without it, anything at `to` makes the move fail.
Status MoveEntry(const std::string& from, const std::string& to, Landing landing) {
    NamedEntry source, target;
    Status status = source.Name(from);
    if (status.Ok()) status = target.Name(to);
    if (status.Ok()) status = source.Open();
    if (status.Ok()) status = target.OpenBeside(source);
    if (!status.Ok()) return status;
    const int fromFd = source.dir;
    const int toFd = target.dir;
    // A folder that moves leaves the folders kept open by path (CachedFolder) out of date.
    struct stat moved {};
    const bool folder = source.Stat(moved).Ok() && S_ISDIR(moved.st_mode);
    if (folder) NoteFolderChange();
    if (landing == Landing::create) {
        if (RenameNoReplaceAt(fromFd, source.name.c_str(), toFd, target.name.c_str(), to) != 0) return Fail(errno, to);
        return Status{};
    }
    // The kernel never renames a file over a folder (EISDIR); a folder over an empty one it would.
    struct stat existing {};
    if (folder && target.Stat(existing).Ok() && S_ISDIR(existing.st_mode)) return Fail(EISDIR, to);
    if (RenameAt(fromFd, source.name.c_str(), toFd, target.name.c_str(), to) != 0) return Fail(errno, to);
    return Status{};
}

Status DeleteEntry(const std::string& path) {
    NamedEntry entry;
    struct stat st {};
    Status status = entry.Name(path);
    if (status.Ok()) status = entry.Open();
    if (status.Ok()) status = entry.Stat(st);
    if (!status.Ok()) return status;
    if (S_ISDIR(st.st_mode)) {
        NoteFolderChange();  // see MoveEntry
        return RemoveDirectoryAt(entry.Parent(), entry.name);
    }
    if (UnlinkAt(entry.dir, entry.name.c_str(), 0, path) != 0) return Fail(errno, path);
    return Status{};
}

// The one path of a double-NUL-terminated list; false for none or more than one.
bool SinglePath(LPCWSTR list, std::string& path) {
    if (list == nullptr || list[0] == L'\0') return false;
    const std::size_t length = std::wcslen(list);
    if (list[length + 1] != L'\0') return false;
    path = PathBytes(list);
    return true;
}

int ReportOperation(const Status& status) {
    if (status.Ok()) return 0;
    SetLastErrorFromErrno(status.error, status.path);
    return static_cast<int>(::GetLastError());
}

}  // namespace

}  // namespace twinfold::posix

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists) {
    using namespace twinfold::posix;
    return AsSystemCall(FALSE, [&] {
        NoteTreeChange();
        if (existingFileName == nullptr || newFileName == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Failing if the name exists means the caller chose a new name of its own, so the copy is written
        // directly under it; a replacing copy goes through a temporary name of ours.
        const Status status = CopyFileEntry(PathBytes(existingFileName), PathBytes(newFileName),
                                            failIfExists ? Landing::create : Landing::replace);
        if (!status.Ok() && status.error == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);  // what CopyFile reports for a name that is taken
            return FALSE;
        }
        return Report(status);
    });
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
    using namespace twinfold::posix;
    return AsSystemCall(FALSE, [&] {
        NoteTreeChange();
        if (existingFileName == nullptr || newFileName == nullptr || (flags & ~DWORD{MOVEFILE_REPLACE_EXISTING}) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return Report(MoveEntry(PathBytes(existingFileName), PathBytes(newFileName),
                                (flags & MOVEFILE_REPLACE_EXISTING) ? Landing::replace : Landing::create));
    });
}

BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
    using namespace twinfold::posix;
    return AsSystemCall(FALSE, [&] {
        // Only the plain attribute is asked for, before a removal; a POSIX removal does not depend on the
        // entry's own permission bits, so there is nothing to change, only the entry to find.
        if (fileName == nullptr || attributes != FILE_ATTRIBUTE_NORMAL) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::string path = PathBytes(fileName);
        PathAt at;
        if (const int error = at.Open(path)) return Report(Fail(error, path));
        struct stat st {};
        if (::fstatat(at.Dir(), at.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Report(Fail(errno, path));
        return TRUE;
    });
}

BOOL DeleteFileW(LPCWSTR fileName) {
    using namespace twinfold::posix;
    return AsSystemCall(FALSE, [&] {
        NoteTreeChange();
        if (fileName == nullptr || fileName[0] == L'\0') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::string path = PathBytes(fileName);
        PathAt at;
        if (const int error = at.Open(path)) return Report(Fail(error, path));
        // unlink never follows a link and refuses a directory (EISDIR), as DeleteFile must.
        if (UnlinkAt(at.Dir(), at.Name(), 0, path) != 0) return Report(Fail(errno, path));
        return TRUE;
    });
}

int SHFileOperationW(SHFILEOPSTRUCTW* fileOp) {
    using namespace twinfold::posix;
    return AsSystemCall(static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), [&] {
        NoteTreeChange();
        if (fileOp == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        fileOp->fAnyOperationsAborted = FALSE;
        std::string from;
        if (!SinglePath(fileOp->pFrom, from)) return ReportOperation(Fail(EINVAL, std::string()));
        switch (fileOp->wFunc) {
            case FO_COPY:
                twinfold::posix::t_lastFolderCopy.valid = false;
                if (fileOp->pTo == nullptr || fileOp->pTo[0] == L'\0') {
                    return ReportOperation(Fail(EINVAL, std::string()));
                }
                return ReportOperation(CopyEntry(from, PathBytes(fileOp->pTo)));
            case FO_DELETE:
                return ReportOperation(DeleteEntry(from));
            default:
                return ReportOperation(Fail(EINVAL, std::string()));
        }
    });
}

namespace twinfold {

namespace {

// The link named by `path`: its folder opened and the link's own lstat, or a failure that says why
// (a path that names no link is refused rather than followed).
posix::Status OpenLink(const std::string& path, posix::NamedEntry& link) {
    using namespace posix;
    struct stat st {};
    Status status = link.Name(path);
    if (status.Ok()) status = link.Open();
    if (status.Ok()) status = link.Stat(st);
    if (!status.Ok()) return status;
    return S_ISLNK(st.st_mode) ? Status{} : Fail(EINVAL, path);
}

}  // namespace

bool ReadLinkTarget(const std::wstring& path, LinkTarget& target) {
    using namespace posix;
    return AsSystemCall(false, [&] {
        NamedEntry link;
        std::string text;
        Status status = OpenLink(PathBytes(path.c_str()), link);
        if (status.Ok()) status = ReadLinkAt(link.Parent(), link.name, text);
        if (!status.Ok()) return Report(status) != FALSE;
        target.tag = IO_REPARSE_TAG_SYMLINK;
        target.text = WideFromBytes(text);
        return true;
    });
}

bool CopyLink(const std::wstring& from, const std::wstring& to) {
    using namespace posix;
    return AsSystemCall(false, [&] {
        NoteTreeChange();
        const std::string bytes = PathBytes(from.c_str());
        NamedEntry link;
        const Status status = OpenLink(bytes, link);
        if (!status.Ok()) return Report(status) != FALSE;
        return Report(CopyFileEntry(bytes, PathBytes(to.c_str()), Landing::create)) != FALSE;
    });
}

bool CreateFolders(const std::wstring& path) {
    using namespace posix;
    return AsSystemCall(false, [&] {
        NoteTreeChange();
        return Report(MakeParents(PathBytes(path.c_str()))) != FALSE;
    });
}

bool RemoveLink(const std::wstring& path, DWORD /*attributes*/) {
    using namespace posix;
    return AsSystemCall(false, [&] {
        NoteTreeChange();
        const std::string bytes = PathBytes(path.c_str());
        NamedEntry link;
        Status status = OpenLink(bytes, link);
        if (status.Ok() && UnlinkAt(link.dir, link.name.c_str(), 0, bytes) != 0) status = Fail(errno, bytes);
        return Report(status) != FALSE;
    });
}

UnreadableFoldersLeftOut::UnreadableFoldersLeftOut() { posix::t_leaveOutUnreadable = true; }
UnreadableFoldersLeftOut::~UnreadableFoldersLeftOut() { posix::t_leaveOutUnreadable = false; }

bool LastFolderCopyDigest(EntryDigest& digest) {
    if (!posix::t_lastFolderCopy.valid) return false;
    digest = posix::t_lastFolderCopy.digest;
    return true;
}

}  // namespace twinfold
