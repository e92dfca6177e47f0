// POSIX only: the per-thread last error and the one table that turns errno into ERROR_* values.
// Nothing else in the layer may invent its own mapping; every failure is reported through here.
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix_internal.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }

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
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
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

void SetLastErrorFromErrno(int error, const std::string& path) { ::SetLastError(ErrorFromErrno(error, path)); }

BOOL Report(const Status& status) {
    if (status.Ok()) return TRUE;
    SetLastErrorFromErrno(status.error, status.path);
    return FALSE;
}

}  // namespace twinfold::posix
