// POSIX only: temporary entries and the copy of one entry that is not a folder: file data (holes kept),
// links, special files. Replaces only by rename from a temporary name; never opens a special file.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/posix_copy.h"
#include "platform/posix_internal.h"
#include "platform/posix_stop.h"
#include "platform/posix_text.h"

std::atomic<bool> twinfold::g_stopRequested{false};

namespace twinfold::posix {

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

}  // namespace

mode_t KeepOwner(int fd, const char* name, const struct stat& st) {
    const int result = name == nullptr ? ::fchown(fd, st.st_uid, st.st_gid)
                                       : ::fchownat(fd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    return result == 0 ? (st.st_mode & 07777) : (st.st_mode & 07777 & ~mode_t{S_ISUID | S_ISGID});
}

namespace {

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

}  // namespace

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

namespace {

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

// A directory in the place a replacement would take: never replaced.
bool DirectoryInTheWay(const At& dst, const std::string& dstName) {
    struct stat existing {};
    return ::fstatat(dst.fd, dstName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode);
}

}  // namespace

Status CopyNonDirectoryAt(const At& src, const std::string& name, const struct stat& st, const At& dst,
                          const std::string& dstName, Landing landing, std::uint64_t* copied) {
    if (landing == Landing::replace && DirectoryInTheWay(dst, dstName)) return Fail(EISDIR, dst.Child(dstName));
    if (S_ISLNK(st.st_mode)) return CopyLinkAt(src, name, st, dst, dstName, landing);
    if (S_ISREG(st.st_mode)) return CopyRegularAt(src, name, dst, dstName, landing, copied);
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return CopySpecialAt(st, dst, dstName, landing);
    }
    return Fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP, src.Child(name));
}

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

}  // namespace twinfold::posix
