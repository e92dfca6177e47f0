// POSIX only: FindFirstFileW / FindNextFileW / FindClose over opendir, readdir and lstat.
// Reports entries as they are; never follows a final symbolic link, never truncates a name.
#include <cstring>
#include <cwchar>
#include <limits>
#include <memory>

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

// Fills a record from an lstat result. `linkLeadsToDirectory` only matters for a link.
bool FillRecord(const struct stat& st, bool linkLeadsToDirectory, const std::string& name, WIN32_FIND_DATAW& record) {
    const std::wstring wideName = WideFromBytes(name);
    if (wideName.empty() || wideName.size() >= MAX_PATH) {
        ::SetLastError(wideName.empty() ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memset(&record, 0, sizeof record);
    DWORD attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_REPARSE_POINT | (linkLeadsToDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0u);
    } else if (S_ISDIR(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_DIRECTORY;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    record.dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;

    // A directory has no size of its own on Windows; its block size here would only mislead.
    const std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    record.ftLastWriteTime = FileTimeFrom(st.st_mtim);
    record.ftLastAccessTime = FileTimeFrom(st.st_atim);
    record.ftCreationTime = record.ftLastWriteTime;  // no creation time in struct stat
    std::wmemcpy(record.cFileName, wideName.c_str(), wideName.size() + 1);
    return true;
}

// Whether the link `name` in `dirFd` leads (through any number of links) to a directory.
bool LinkLeadsToDirectory(int dirFd, const char* name) {
    struct stat target {};
    return ::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

struct FindHandle {
    enum class Next { parent, entries, none };

    At dir{-1, std::string()};
    Dir stream;
    Next next = Next::none;
};

// Fills `record` with the next listed entry. FALSE with ERROR_NO_MORE_FILES at the end.
BOOL NextEntry(FindHandle& handle, WIN32_FIND_DATAW& record) {
    if (handle.next == FindHandle::Next::parent) {
        handle.next = FindHandle::Next::entries;
        struct stat st {};
        if (::fstatat(handle.dir.fd, "..", &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return Report(Fail(errno, handle.dir.Child("..")));
        }
        return FillRecord(st, false, "..", record) ? TRUE : FALSE;
    }
    while (handle.next == FindHandle::Next::entries) {
        if (fault::Strike(fault::Call::list, handle.dir.path.c_str())) return Report(Fail(errno, handle.dir.path));
        errno = 0;
        const struct dirent* entry = ::readdir(handle.stream.Get());
        if (entry == nullptr) {
            if (errno != 0) return Report(Fail(errno, handle.dir.path));
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;  // reported first
        struct stat st {};
        if (::fstatat(handle.dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed since it was listed: it is gone, so not reported
            return Report(Fail(errno, handle.dir.Child(name)));
        }
        const bool toDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(handle.dir.fd, name);
        return FillRecord(st, toDirectory, name, record) ? TRUE : FALSE;
    }
    handle.next = FindHandle::Next::none;
    ::SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

bool EndsWithListPattern(std::wstring_view path) {
    const std::wstring_view pattern(kListPattern);
    return path.size() >= pattern.size() && path.substr(path.size() - pattern.size()) == pattern;
}

HANDLE StartListing(std::wstring_view path, WIN32_FIND_DATAW& record) {
    std::wstring_view dirText = path.substr(0, path.size() - std::wstring_view(kListPattern).size());
    auto handle = std::make_unique<FindHandle>();
    handle->dir.path = dirText.empty() ? std::string("/") : BytesFromWide(dirText);

    PathAt at;
    errno = at.Open(handle->dir.path);
    Fd fd(errno != 0 ? -1
                     : OpenAt(at.Dir(), at.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, fault::Call::list,
                              handle->dir.path));
    if (!fd.Valid()) {
        // Measured from the pattern, as Windows does: a missing folder is a missing path.
        SetLastErrorFromErrno(errno, handle->dir.Child("*"));
        return INVALID_HANDLE_VALUE;
    }
    struct stat self {};
    if (::fstat(fd.Get(), &self) != 0) {
        Report(Fail(errno, handle->dir.path));
        return INVALID_HANDLE_VALUE;
    }
    handle->dir.fd = fd.Get();
    DIR* stream = ::fdopendir(fd.Get());
    if (stream == nullptr) {
        Report(Fail(errno, handle->dir.path));
        return INVALID_HANDLE_VALUE;
    }
    fd.Release();  // the stream owns it now
    handle->stream.Reset(stream);

    // "." and ".." come first whatever the file system lists, so that every listing, an empty
    // folder's included, has entries and reports them exactly once.
    if (!FillRecord(self, false, ".", record)) return INVALID_HANDLE_VALUE;
    handle->next = FindHandle::Next::parent;
    return handle.release();
}

HANDLE LookUp(const std::string& path, WIN32_FIND_DATAW& record) {
    std::string parent;
    std::string name;
    if (!SplitLast(path, parent, name)) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // Without trailing separators, so that a final link is not followed.
    const std::string entry = path.substr(0, path.find_last_not_of('/') + 1);
    struct stat st {};
    PathAt at;
    if (fault::Strike(fault::Call::lookup, entry.c_str()) || (errno = at.Open(entry)) != 0 ||
        ::fstatat(at.Dir(), at.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        SetLastErrorFromErrno(errno, entry);
        return INVALID_HANDLE_VALUE;
    }
    const bool toDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(at.Dir(), at.Name());
    if (!FillRecord(st, toDirectory, name, record)) return INVALID_HANDLE_VALUE;
    return new FindHandle();  // yields nothing more
}

FindHandle* FromHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<FindHandle*>(handle);
}

}  // namespace

}  // namespace twinfold::posix

using twinfold::posix::FindHandle;

HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData) {
    if (fileName == nullptr || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring_view path(fileName);
    if (twinfold::posix::EndsWithListPattern(path)) return twinfold::posix::StartListing(path, *findData);
    return twinfold::posix::LookUp(twinfold::BytesFromWide(path), *findData);
}

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findData) {
    FindHandle* handle = twinfold::posix::FromHandle(findFile);
    if (handle == nullptr || findData == nullptr) {
        SetLastError(handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return twinfold::posix::NextEntry(*handle, *findData);
}

BOOL FindClose(HANDLE findFile) {
    FindHandle* handle = twinfold::posix::FromHandle(findFile);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete handle;
    return TRUE;
}
