// POSIX only: the copy and removal of a whole folder, walked by descriptor one folder at a time.
// Never follows a link; keeps only the deepest few folders open, a reopened one checked to be the same.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix_copy.h"
#include "platform/posix_crew.h"
#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

thread_local FolderCopyDigest t_lastFolderCopy;
thread_local bool t_leaveOutUnreadable = false;

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace twinfold::posix
