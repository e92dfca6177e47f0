// POSIX only: CopyFileW, MoveFileExW, SetFileAttributesW, DeleteFileW, SHFileOperationW (FO_COPY,
// FO_DELETE) and the engine's link calls. Each opens its entry's folder afresh, never through a link.
#include <cwchar>
#include <string>

#include "platform/posix_copy.h"
#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

namespace {

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
