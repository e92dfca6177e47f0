// POSIX only: the steps the layer's files share: whole writes, the no-replace rename, changes in
// read-only folders of our own, and folder listings read straight from a descriptor.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/posix_internal.h"

namespace twinfold::posix {

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

}  // namespace twinfold::posix
