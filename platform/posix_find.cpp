// POSIX only: FindFirstFileW, twinfold::FindFirstKinds, FindNextFileW, FindClose over the directory
// entries read from a descriptor and lstat. Reports entries as they are, a looked-up entry under the
// name its folder holds; never follows a final symbolic link, never truncates a name.
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <memory>

#include <sys/sysmacros.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

namespace {

// Seconds between 1601-01-01 (the FILETIME epoch) and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

FILETIME FileTimeFrom(const struct timespec& time) {
    std::uint64_t ticks = 0;
    if (time.tv_sec >= -kEpochDifference) {
        const auto seconds = static_cast<std::uint64_t>(time.tv_sec + kEpochDifference);
        const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() / kTicksPerSecond - 1;
        ticks = seconds > limit ? std::numeric_limits<std::uint64_t>::max()
                                : seconds * kTicksPerSecond + static_cast<std::uint64_t>(time.tv_nsec / 100);
    }
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// Clears a record and gives it its name.
bool StartRecord(std::string_view name, WIN32_FIND_DATAW& record) {
    std::memset(&record, 0, sizeof record);
    const std::size_t length = WideInto(name, record.cFileName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ::SetLastError(length == 0 ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// Fills a record from an lstat result. `linkLeadsToDirectory` only matters for a link.
bool FillRecord(const struct stat& st, bool linkLeadsToDirectory, std::string_view name, WIN32_FIND_DATAW& record) {
    if (!StartRecord(name, record)) return false;
    DWORD attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_REPARSE_POINT | (linkLeadsToDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0u);
        record.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    } else if (S_ISDIR(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_DIRECTORY;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    record.dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    if (S_ISFIFO(st.st_mode)) record.dwReserved0 = kSpecialFifo;
    if (S_ISSOCK(st.st_mode)) record.dwReserved0 = kSpecialSocket;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        record.dwReserved0 = S_ISCHR(st.st_mode) ? kSpecialCharacterDevice : kSpecialBlockDevice;
        // Linux's own 32-bit form of a device number: 12 bits of major, 20 of minor.
        record.dwReserved1 = ((major(st.st_rdev) & 0xFFFu) << 20) | (minor(st.st_rdev) & 0xFFFFFu);
    }

    // A directory has no size of its own on Windows; its block size here would only mislead. A FIFO,
    // socket or device holds no data that a copy would take: whatever st_size says, it counts as 0.
    const bool hasData = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
    const std::uint64_t size = hasData ? static_cast<std::uint64_t>(st.st_size) : 0;
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    record.ftLastWriteTime = FileTimeFrom(st.st_mtim);
    record.ftLastAccessTime = FileTimeFrom(st.st_atim);
    record.ftCreationTime = record.ftLastWriteTime;  // no creation time in struct stat
    return true;
}

// Tests can have an entry reported as a reparse point of a kind that is no link (a deduplicated
// file, say), which exists only on Windows: the engine must treat it as a plain file or folder.
void MarkIfAsked(const std::string& path, WIN32_FIND_DATAW& record) {
    constexpr DWORD kTagOfNoLink = 0x80000013u;  // IO_REPARSE_TAG_DEDUP
    if (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return;
    if (!fault::Strike(fault::Call::reparse, path.c_str())) return;
    record.dwFileAttributes = (record.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_NORMAL}) | FILE_ATTRIBUTE_REPARSE_POINT;
    record.dwReserved0 = kTagOfNoLink;
}

// Whether the link `name` in `dirFd` leads (through any number of links) to a directory.
bool LinkLeadsToDirectory(int dirFd, const char* name) {
    struct stat target {};
    return ::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

// Fills a record that tells only the name and the kind of entry `name` in `dirFd`: DT_DIR, DT_LNK or
// anything else (a file, or something that is no folder).
bool FillKindRecord(unsigned char type, int dirFd, const char* name, WIN32_FIND_DATAW& record) {
    if (!StartRecord(name, record)) return false;
    if (type == DT_DIR) {
        record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else if (type == DT_LNK) {
        // Whether a link leads to a folder decides how it is removed, so it is worth the one call.
        record.dwFileAttributes =
            FILE_ATTRIBUTE_REPARSE_POINT | (LinkLeadsToDirectory(dirFd, name) ? FILE_ATTRIBUTE_DIRECTORY : 0u);
        record.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    } else {
        record.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return true;
}

enum class Detail { full, kinds };

struct FindHandle {
    enum class Next { parent, entries, none };

    At dir{-1, std::string()};
    Fd fd;  // dir.fd's owner
    struct stat self {};  // the listed folder's own
    std::unique_ptr<DirReader> reader;
    Next next = Next::none;
    Detail detail = Detail::full;
};

// The kind of `entry` for a names-and-kinds record: what the listing says, or where it does not
// know (some file systems never tell), what lstat says. False with errno when lstat fails.
bool KindOf(const DirReader::Entry& entry, int dirFd, const std::string& hookPath, unsigned char& type) {
    const bool untyped = fault::Strike(fault::Call::untyped, hookPath.c_str());
    type = untyped ? static_cast<unsigned char>(DT_UNKNOWN) : entry.type;
    if (type != DT_UNKNOWN) return true;
    struct stat st {};
    if (::fstatat(dirFd, entry.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    return true;
}

// Fills `record` with the next listed entry. FALSE with ERROR_NO_MORE_FILES at the end.
BOOL NextEntry(FindHandle& handle, WIN32_FIND_DATAW& record) {
    if (handle.next == FindHandle::Next::parent) {
        handle.next = FindHandle::Next::entries;
        // Nothing reads the record of "..", so it is made without a call of its own: a folder record
        // with the listed folder's own details.
        if (handle.detail == Detail::kinds) return FillKindRecord(DT_DIR, handle.dir.fd, "..", record) ? TRUE : FALSE;
        return FillRecord(handle.self, false, "..", record) ? TRUE : FALSE;
    }
    while (handle.next == FindHandle::Next::entries) {
        DirReader::Entry entry{};
        if (!handle.reader->Next(entry, handle.dir.path)) {
            if (errno != 0) return Report(Fail(errno, handle.dir.path));
            break;
        }
        const char* name = entry.name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;  // reported first
        if (handle.detail == Detail::kinds) {
            const std::string hookPath = fault::kHooked ? handle.dir.Child(name) : std::string();
            // Such a record answers what a lookup of the entry would, so a test's lookup rule reaches
            // it: "no such entry" hides it, any other error breaks the listing off.
            unsigned char type = DT_UNKNOWN;
            if (fault::Strike(fault::Call::lookup, hookPath.c_str()) ||
                !KindOf(entry, handle.dir.fd, hookPath, type)) {
                if (errno == ENOENT) continue;  // removed since it was listed
                return Report(Fail(errno, handle.dir.Child(name)));
            }
            if (!FillKindRecord(type, handle.dir.fd, name, record)) return FALSE;
            MarkIfAsked(hookPath, record);
            return TRUE;
        }
        const std::string hookPath = fault::kHooked ? handle.dir.Child(name) : std::string();
        struct stat st {};
        // The entry's lstat, too, answers what a lookup would, and a test's lookup rule reaches it.
        if (fault::Strike(fault::Call::lookup, hookPath.c_str()) ||
            ::fstatat(handle.dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed since it was listed: it is gone, so not reported
            return Report(Fail(errno, handle.dir.Child(name)));
        }
        const bool toDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(handle.dir.fd, name);
        if (!FillRecord(st, toDirectory, name, record)) return FALSE;
        MarkIfAsked(hookPath, record);
        return TRUE;
    }
    handle.next = FindHandle::Next::none;
    ::SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

bool EndsWithListPattern(std::wstring_view path) {
    const std::wstring_view pattern(kListPattern);
    return path.size() >= pattern.size() && path.substr(path.size() - pattern.size()) == pattern;
}

HANDLE StartListing(std::wstring_view path, Detail detail, WIN32_FIND_DATAW& record) {
    std::wstring_view dirText = path.substr(0, path.size() - std::wstring_view(kListPattern).size());
    auto handle = std::make_unique<FindHandle>();
    handle->dir.path = dirText.empty() ? std::string("/") : BytesFromWide(dirText);

    PathAt at(PathAt::Reach::held);
    Fd fd;
    const int error = fault::Strike(fault::Call::list, handle->dir.path.c_str()) ? errno
                                                                               : at.OpenFolder(handle->dir.path, O_RDONLY, fd);
    if (error != 0) {
        // Measured from the pattern, as Windows does: a missing folder is a missing path.
        SetLastErrorFromErrno(error, handle->dir.Child("*"));
        return INVALID_HANDLE_VALUE;
    }
    struct stat self {};
    if (::fstat(fd.Get(), &self) != 0) {
        Report(Fail(errno, handle->dir.path));
        return INVALID_HANDLE_VALUE;
    }
    if (MeetsPassRoot(handle->dir.path, self)) {
        Report(Fail(kRootsOverlap, handle->dir.path));
        return INVALID_HANDLE_VALUE;
    }
    handle->dir.fd = fd.Get();
    handle->fd = std::move(fd);
    handle->self = self;
    handle->reader = std::make_unique<DirReader>(handle->dir.fd);

    // "." and ".." come first whatever the file system lists, so that every listing, an empty
    // folder's included, has entries and reports them exactly once.
    const bool filled = detail == Detail::kinds ? FillKindRecord(DT_DIR, handle->dir.fd, ".", record)
                                                : FillRecord(self, false, ".", record);
    if (!filled) return INVALID_HANDLE_VALUE;
    handle->next = FindHandle::Next::parent;
    handle->detail = detail;
    return handle.release();
}


// What FindFirstFileW returns for a plain path: a search that has nothing more to yield. One shared
// value, never allocated or freed.
FindHandle* LookupDone() {
    static FindHandle done;
    return &done;
}

HANDLE LookUp(std::string entry, WIN32_FIND_DATAW& record) {
    // Without trailing separators, so that a final link is not followed.
    const std::size_t last = entry.find_last_not_of('/');
    if (last == std::string::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    entry.resize(last + 1);
    if (fault::Strike(fault::Call::lookup, entry.c_str())) {
        SetLastErrorFromErrno(errno, entry);
        return INVALID_HANDLE_VALUE;
    }
    const std::size_t slash = entry.rfind('/');
    const char* name = entry.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    std::string_view parent(".");
    if (slash != std::string::npos) {
        const std::size_t parentEnd = entry.find_last_not_of('/', slash);
        parent = parentEnd == std::string::npos ? std::string_view("/") : std::string_view(entry).substr(0, parentEnd + 1);
    }

    // The folder kept open for the entries of one folder that the passes look up one after another.
    int openError = 0;
    int dirFd = CachedFolder(parent, openError);
    const char* statName = name;
    PathAt at;
    if (dirFd < 0) {
        if ((errno = at.Open(entry)) != 0) {
            SetLastErrorFromErrno(errno, entry);
            return INVALID_HANDLE_VALUE;
        }
        dirFd = at.Dir();
        statName = at.Name();
    }
    struct stat st {};
    if (::fstatat(dirFd, statName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Where the open folder is the entry's own, it is there, and "no such entry" is a missing file.
        if (std::strchr(statName, '/') == nullptr) {
            SetLastErrorInFolder(errno, entry);
        } else {
            SetLastErrorFromErrno(errno, entry);
        }
        return INVALID_HANDLE_VALUE;
    }
    const bool toDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(dirFd, statName);
    const std::string held = statName == name ? HeldName(dirFd, parent, name, st) : std::string(name);
    if (!FillRecord(st, toDirectory, held, record)) return INVALID_HANDLE_VALUE;
    MarkIfAsked(entry, record);
    return LookupDone();
}

FindHandle* FromHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<FindHandle*>(handle);
}

}  // namespace

}  // namespace twinfold::posix

using twinfold::posix::AsSystemCall;
using twinfold::posix::FindHandle;

HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData) {
    return AsSystemCall(INVALID_HANDLE_VALUE, [&] {
        if (fileName == nullptr || findData == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        const std::wstring_view path(fileName);
        if (twinfold::posix::EndsWithListPattern(path)) {
            return twinfold::posix::StartListing(path, twinfold::posix::Detail::full, *findData);
        }
        return twinfold::posix::LookUp(twinfold::BytesFromWide(path), *findData);
    });
}

HANDLE twinfold::FindFirstKinds(LPCWSTR pattern, WIN32_FIND_DATAW* record) {
    return posix::AsSystemCall(INVALID_HANDLE_VALUE, [&] {
        if (pattern == nullptr || record == nullptr || !posix::EndsWithListPattern(pattern)) {
            return FindFirstFileW(pattern, record);
        }
        return posix::StartListing(pattern, posix::Detail::kinds, *record);
    });
}

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findData) {
    return AsSystemCall(FALSE, [&] {
        FindHandle* handle = twinfold::posix::FromHandle(findFile);
        if (handle == nullptr || findData == nullptr) {
            SetLastError(handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (handle == twinfold::posix::LookupDone()) {
            SetLastError(ERROR_NO_MORE_FILES);
            return FALSE;
        }
        return twinfold::posix::NextEntry(*handle, *findData);
    });
}

BOOL FindClose(HANDLE findFile) {
    FindHandle* handle = twinfold::posix::FromHandle(findFile);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle != twinfold::posix::LookupDone()) delete handle;
    return TRUE;
}
