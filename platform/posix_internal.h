// POSIX only: helpers shared by the stand-in's source files (owned descriptors, error mapping, paths,
// fault-checked system calls, temporary files). Not for the engine: it must see only platform/win32.h.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fault.h"
#include "platform/win32.h"

namespace twinfold::posix {

// An owned file descriptor; closed on every way out of a scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    // Closes now and reports the result: on some file systems a failed write surfaces only here.
    int Close() {
        int result = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return result;
    }

private:
    int m_fd = -1;
};

// Reads the entries of an open directory straight from its descriptor, a buffer at a time. A
// directory stream (fdopendir) would cost a stat and two fcntl calls for every folder read, which a
// run over a big tree makes thousands of times. The descriptor stays the caller's.
class DirReader {
public:
    struct Entry {
        const char* name;
        unsigned char type;  // a DT_ value; DT_UNKNOWN where the file system does not say
        ino_t inode;
    };

    explicit DirReader(int fd) : m_fd(fd) {}
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;

    // The next entry, "." and ".." included. False at the end, with errno 0, or on a failure, with its
    // errno. Each call passes the fault hook, which fails the read itself, so that the caller takes
    // the branch a real I/O error takes.
    bool Next(Entry& entry, const std::string& hookPath);

private:
    static constexpr std::size_t kBufferSize = 32 * 1024;

    int m_fd;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_filled = 0;
    std::size_t m_next = 0;
};

// The outcome of an internal step: 0, or the errno and the path it concerns. Mapped onto the Win32
// vocabulary only at the edge (SetLastErrorFromErrno), where the path decides file vs path not found.
struct Status {
    int error = 0;
    std::string path;
    bool Ok() const { return error == 0; }
};
inline Status Fail(int error, std::string path) { return Status{error, std::move(path)}; }

// errno -> ERROR_*. ENOENT becomes ERROR_PATH_NOT_FOUND when the folder that would hold `path` is
// missing too, ERROR_FILE_NOT_FOUND otherwise.
DWORD ErrorFromErrno(int error, const std::string& path);
void SetLastErrorFromErrno(int error, const std::string& path);
// As SetLastErrorFromErrno, for an entry looked up in a folder that was just opened: "no such
// entry" is then ERROR_FILE_NOT_FOUND without a second look at the folder.
void SetLastErrorInFolder(int error, const std::string& path);
// Sets the last error from a Status and returns FALSE (or the success value when it is ok).
BOOL Report(const Status& status);

// Runs the body of one of the Win32 stand-ins: an allocation that fails inside it makes the call fail
// with ERROR_NOT_ENOUGH_MEMORY, as the real functions report it, instead of throwing through the
// engine, which cleans up after a call that failed (a temporary copy, say) but not after an exception.
// What the body made by then is undone by its own holders (TempEntry, Fd) on the way out.
template <typename Result, typename Body>
Result AsSystemCall(Result failed, const Body& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastErrorFromErrno(ENOMEM, std::string());
        return failed;
    }
}

// Paths: wide text <-> name bytes, and splitting without touching the file system.
std::string PathBytes(LPCWSTR path);
std::string JoinPath(const std::string& dir, std::string_view name);
// Splits off the last component after stripping trailing separators. The parent of a bare name is
// "."; of "/name", "/". False when nothing names an entry (empty, or only separators).
bool SplitLast(const std::string& path, std::string& parent, std::string& name);
// Byte form of twinfold::ResolveFullPath; empty when the path cannot be resolved.
std::string ResolvePath(const std::string& path);
// Like ResolvePath, but a final symbolic link stays unresolved: the entry itself, not its target.
std::string ResolveEntryPath(const std::string& path);

// Where a system call on a full path is made. A path that fits in one call is used as it is, from
// the current directory. A longer one (deep trees exceed PATH_MAX) is split: the folders above its
// last component are opened a few at a time, following links on the way exactly as the kernel
// would for a short path, and the call is made relative to that folder with the last component.
//
// Below a root of the running pass (twinfold::PassRoots) the folder is instead reached from the root's
// descriptor, never through a link (ELOOP where a folder on the way is one), and
// the root itself is "." in its own descriptor. Every call of the layer on a path goes through here.
class PathAt {
public:
    // How a folder below a root is reached: afresh from the root's descriptor, for a call that changes
    // the tree, so that a folder swapped for a link or moved away since is refused rather than
    // written into through an older descriptor; or, for a listing or a lookup, from the folders this
    // thread's walk holds open (see posix_beneath.cpp), which makes a deep tree linear.
    enum class Reach { afresh, held };
    explicit PathAt(Reach reach = Reach::afresh) : m_reach(reach) {}

    // 0, or the errno of opening the folders on the way (what the call itself would have failed with).
    int Open(const std::string& path);
    // As Open, ignoring the roots of the pass: for opening a root itself.
    int OpenFromCurrentFolder(const std::string& path);
    int Dir() const { return m_dir.Valid() ? m_dir.Get() : m_base; }
    const char* Name() const { return m_name.c_str(); }
    // Below a root, a call that opens the named entry as a folder adds this, so that a link put in a
    // folder's place is not followed either.
    int FolderFlags() const { return m_belowRoot ? O_NOFOLLOW : 0; }
    int StatFlags() const { return m_belowRoot ? AT_SYMLINK_NOFOLLOW : 0; }
    // The errno to report for a failed open with FolderFlags(): ELOOP where the kernel said ENOTDIR
    // for a link, which is a refusal to follow it, not a missing folder.
    int FolderError(int error) const;

    // Opens the folder `path` itself into `out`, with O_DIRECTORY | O_CLOEXEC | `flags`, never through
    // a link below a root: there in one call from the root's descriptor where the kernel can, rather
    // than the folder above it first. 0, or the errno as FolderError gives it.
    int OpenFolder(const std::string& path, int flags, Fd& out);

private:
    // False: not below a root. With `openParent` false, the folder that holds the name is not opened:
    // m_parentBelow and m_rootFd say where it is.
    bool OpenBelowPassRoot(const std::string& path, int& error, bool openParent = true);

    Reach m_reach;
    std::string m_parentBelow;  // the holding folder's path from the root ("" for the root itself)
    PassRoots::State* m_state = nullptr;
    int m_rootIndex = 0;  // of the root in m_state that holds the path

    Fd m_dir;
    int m_base = AT_FDCWD;
    std::string m_name;
    bool m_belowRoot = false;
};

// What a call below the roots of a pass fails with once the roots were found to overlap below a root:
// a folder there has the identity of a root, or lies on a mount that shows a part of the other tree.
// A value of the layer's own, beyond every errno; the error table describes it.
inline constexpr int kRootsOverlap = 0x10000;

// A listing below a root that met a folder with the identity of a root (other than a root listed by
// its own path) trips the pass's roots: true, and every later call below them fails with
// kRootsOverlap. Folders below a root that lie on another mount are checked as they are opened.
bool MeetsPassRoot(const std::string& path, const struct stat& folder);
// Checks the folder `fd` that a walk below a root (a folder copied or removed whole) entered, as
// folders opened by their paths are checked: 0, or kRootsOverlap when it lies on a mount that
// overlaps the other root. 0 outside the roots of a pass.
int CheckFolderMount(const std::string& path, int fd);

// A directory kept open, with its path for fault rules and error mapping. The path is never handed
// to a system call below the descriptor, so it may be longer than PATH_MAX.
struct At {
    int fd;
    std::string path;
    std::string Child(std::string_view name) const { return JoinPath(path, name); }
};

// Counts the layer's changes to the file system. Whatever the layer keeps open to speed up later calls
// is valid only while the count stays the same.
void NoteTreeChange();
std::uint64_t TreeChanges();

// Counts the layer's changes that could make a folder's path stand for another folder, or none: a
// folder removed or moved, and the roots of a pass set or dropped. Folders kept open by path
// (CachedFolder) are valid only while this count stays the same.
void NoteFolderChange();
std::uint64_t FolderChanges();

// The folder `path`, opened (O_PATH, never through a link below a root) and kept open for the
// calling thread's next lookups in it. -1 with the errno in `error` when it cannot be opened. The
// descriptor stays the cache's: valid until the thread's next call of this function. Only lookups use
// it: a call that changes the tree opens its folder afresh, so that one swapped for a link since is
// refused.
int CachedFolder(std::string_view path, int& error);

// The name the folder `dirFd` (at `folder`) holds for the entry `st` that a lookup of `name` found
// there: `name` itself, unless the folder's file system may match names ignoring case and holds the
// entry under another spelling.
std::string HeldName(int dirFd, std::string_view folder, const char* name, const struct stat& st);

// Runs `change`, a system call that adds, replaces or removes an entry of the folder `dirFd` (and of
// `otherDirFd`, -1 for none). A destination folder copied from a read-only one (mode 0555) is
// read-only for its owner too, and the mirror must still keep it up to date: where the folder's own
// mode refused the call and the folder is ours, the call is made once more with the folder writable
// for its owner, and its mode is put back right after, whatever the outcome. Any other refusal
// stands. Returns what `change` returns (-1 with errno on failure).
int ChangeInReadOnlyFolders(int dirFd, int otherDirFd, const std::function<int()>& change);  // the second try
template <typename Change>
int ChangeInFolders(int dirFd, int otherDirFd, const Change& change) {
    const int result = change();
    if (result != -1 || errno != EACCES) return result;
    return ChangeInReadOnlyFolders(dirFd, otherDirFd, change);
}

// System calls that the fault hook can fail. `hookPath` is the full path the call concerns. Those
// that change a folder's entries go through ChangeInFolders.
inline int OpenAt(int dirFd, const char* name, int flags, mode_t mode, fault::Call call, const std::string& hookPath) {
    if (fault::Strike(call, hookPath.c_str())) return -1;
    if ((flags & O_CREAT) == 0) return ::openat(dirFd, name, flags, mode);
    return ChangeInFolders(dirFd, -1, [&] { return ::openat(dirFd, name, flags, mode); });
}
inline int RenameAt(int fromFd, const char* from, int toFd, const char* to, const std::string& hookPath) {
    if (fault::Strike(fault::Call::rename, hookPath.c_str())) return -1;
    return ChangeInFolders(fromFd, toFd, [&] { return ::renameat(fromFd, from, toFd, to); });
}
// renameat that fails with EEXIST when `to` exists. File systems without the kernel's no-replace
// rename get a check first, which leaves a moment in which a new entry could be replaced.
int RenameNoReplaceAt(int fromFd, const char* from, int toFd, const char* to, const std::string& hookPath);
inline int MkdirAt(int dirFd, const char* name, mode_t mode, const std::string& hookPath) {
    if (fault::Strike(fault::Call::mkdir, hookPath.c_str())) return -1;
    return ChangeInFolders(dirFd, -1, [&] { return ::mkdirat(dirFd, name, mode); });
}
// Removes an entry of the layer's own making (a temporary or partial copy): no fault rule sees it.
inline int RemoveOwnEntry(int dirFd, const char* name) {
    return ChangeInFolders(dirFd, -1, [&] { return ::unlinkat(dirFd, name, 0); });
}
inline int UnlinkAt(int dirFd, const char* name, int flags, const std::string& hookPath) {
    if (fault::Strike((flags & AT_REMOVEDIR) ? fault::Call::rmdir : fault::Call::unlink, hookPath.c_str())) return -1;
    return ChangeInFolders(dirFd, -1, [&] { return ::unlinkat(dirFd, name, flags); });
}
inline int SymlinkAt(const char* target, int dirFd, const char* name, const std::string& hookPath) {
    if (fault::Strike(fault::Call::symlink, hookPath.c_str())) return -1;
    return ChangeInFolders(dirFd, -1, [&] { return ::symlinkat(target, dirFd, name); });
}

// Writes all of `data`, retrying short writes. 0 or an errno.
int WriteAll(int fd, const char* data, std::size_t size, const std::string& hookPath);

// The names in an open directory except "." and "..", read completely so the descriptor can be
// closed or the directory changed afterwards. Each open and each read step passes the fault hook.
// With `types`, the kind the listing gives each name (a DT_ value, DT_UNKNOWN where it gives none).
Status ReadNames(const At& dir, std::vector<std::string>& names, std::vector<unsigned char>* types = nullptr);

// How a new entry takes its name: in place of whatever is there, or only where nothing is.
enum class Landing { replace, create };

// A temporary file, link or special file in a destination folder: removed when it goes out of scope unless
// Commit() was called after it was renamed into place. The name is short enough for any folder
// whose entries may have 255-byte names, and recognisable as ours.
class TempEntry {
public:
    explicit TempEntry(const At& dir) : m_dir(dir) {}
    ~TempEntry();
    TempEntry(const TempEntry&) = delete;
    TempEntry& operator=(const TempEntry&) = delete;

    Status CreateFile(mode_t mode);                  // opens Fd() for writing
    Status CreateLink(const std::string& target);    // a symbolic link, no descriptor
    Status CreateNode(mode_t type, dev_t device);    // a FIFO, socket or device node, owner-only, no descriptor
    // Closes the descriptor and renames into place; with Landing::create only where nothing is.
    Status CommitAs(const std::string& finalName, Landing landing);

    int FileFd() const { return m_fd.Get(); }
    const std::string& Name() const { return m_name; }
    std::string Path() const { return m_dir.Child(m_name); }

private:
    const At& m_dir;
    Fd m_fd;
    std::string m_name;
    bool m_exists = false;
};


}  // namespace twinfold::posix
