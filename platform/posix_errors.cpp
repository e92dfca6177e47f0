// POSIX only: the per-thread last error, with the errno and path behind it, and the one table that turns
// errno into ERROR_* values. Nothing else may invent its own mapping; every failure is reported here.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
// What the ERROR_* value cannot say: the errno it came from, and the entry it concerned.
thread_local int t_lastErrno = 0;
thread_local std::string t_lastErrorPath;

// The errno whose text best says what an ERROR_* value set without one means.
int ErrnoFromError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_NOT_SUPPORTED: return ENOTSUP;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME: return EINVAL;
        case ERROR_DISK_FULL: return ENOSPC;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_BUSY: return EBUSY;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_IO_DEVICE: return EIO;
        case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
        default: return 0;
    }
}

// strerror_r comes in two forms (GNU returns the text, XSI fills the buffer); both end up here.
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD errorCode) {
    t_lastError = errorCode;
    t_lastErrno = 0;
    t_lastErrorPath.clear();
}

namespace twinfold {

SystemError LastSystemError() { return SystemError{t_lastError, t_lastErrno, WideFromBytes(t_lastErrorPath)}; }

std::wstring DescribeSystemError(const SystemError& error) {
    if (error.detail == posix::kRootsOverlap) {
        return L"The source and destination folders overlap there, through a mount point or a folder moved "
               L"during the run";
    }
    const int number = error.detail != 0 ? error.detail : ErrnoFromError(error.code);
    if (number == 0) {
        char text[32];
        std::snprintf(text, sizeof text, "error %u", static_cast<unsigned>(error.code));
        return WideFromBytes(text);
    }
    char buffer[256] = "";
    return WideFromBytes(ErrorText(::strerror_r(number, buffer, sizeof buffer), buffer));
}

}  // namespace twinfold

namespace twinfold::posix {

namespace {

// The engine counts only "file not found" and "path not found" as a missing entry, so the parent
// check must report "path" only when the folder is really gone; any doubt stays "file not found",
// which the engine treats the same way.
DWORD MissingEntryError(const std::string& path) {
    std::string parent;
    std::string name;
    if (!SplitLast(path, parent, name)) return ERROR_PATH_NOT_FOUND;
    struct stat st {};
    PathAt at;
    if ((errno = at.Open(parent)) == 0 && ::fstatat(at.Dir(), at.Name(), &st, 0) == 0)
        return S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return (errno == ENOENT || errno == ENOTDIR) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

}  // namespace

DWORD ErrorFromErrno(int error, const std::string& path) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return MissingEntryError(path);
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EIO: return ERROR_IO_DEVICE;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EBUSY: return ERROR_BUSY;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ELOOP:
        case kRootsOverlap: return ERROR_CANT_RESOLVE_FILENAME;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
#if ENOTSUP != EOPNOTSUPP
        case ENOTSUP:
#endif
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorFromErrno(int error, const std::string& path) {
    ::SetLastError(ErrorFromErrno(error, path));
    t_lastErrno = error;
    t_lastErrorPath = path;
}

void SetLastErrorInFolder(int error, const std::string& path) {
    ::SetLastError(error == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(error, path));
    t_lastErrno = error;
    t_lastErrorPath = path;
}

BOOL Report(const Status& status) {
    if (status.Ok()) return TRUE;
    SetLastErrorFromErrno(status.error, status.path);
    return FALSE;
}

}  // namespace twinfold::posix
