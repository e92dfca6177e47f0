// Test builds for Windows only: the engine's file calls held to the limits that Windows keeps and
// Wine does not (see windows_limits.h). It must never decide anything itself beyond those refusals.
#define TWINFOLD_WINDOWS_LIMITS_IMPLEMENTATION
#include "platform/windows_limits.h"

#include <cwchar>
#include <string>

namespace {

constexpr std::size_t kFolderLimit = MAX_PATH - 12;  // room for an 8.3 name inside a new folder

bool LongOrDevice(const wchar_t* path) {
    return std::wcsncmp(path, L"\\\\?\\", 4) == 0 || std::wcsncmp(path, L"\\\\.\\", 4) == 0;
}

// True (and the last error set as Windows sets it) when Windows would not even look at `path`.
bool Refused(const wchar_t* path, std::size_t limit = MAX_PATH) {
    if (path == nullptr || LongOrDevice(path) || std::wcslen(path) < limit) return false;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return true;
}

bool TooLong(const std::wstring& path, std::size_t limit) { return path.size() >= limit; }

void MakeParents(const std::wstring& path) {
    for (std::size_t end = path.find(L'\\', 3); end != std::wstring::npos; end = path.find(L'\\', end + 1)) {
        if (!TooLong(path.substr(0, end), kFolderLimit)) CreateDirectoryW(path.substr(0, end).c_str(), nullptr);
    }
}

// The shell's copy of a folder: what lies within the limit on both sides is copied, anything else
// (and a file that cannot be read, such as one held open without sharing) is left out in silence.
void CopyWithinLimit(const std::wstring& from, const std::wstring& to) {
    if (TooLong(from + L"\\*", MAX_PATH) || TooLong(to, kFolderLimit) || !CreateDirectoryW(to.c_str(), nullptr)) return;
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = record.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring source = from + L"\\" + name;
        const std::wstring target = to + L"\\" + name;
        if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CopyWithinLimit(source, target);
        } else if (!TooLong(source, MAX_PATH) && !TooLong(target, MAX_PATH)) {
            CopyFileW(source.c_str(), target.c_str(), FALSE);
        }
    } while (FindNextFileW(search, &record));
    FindClose(search);
}

}  // namespace

HANDLE WINAPI LimitedFindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
    return Refused(fileName) ? INVALID_HANDLE_VALUE : FindFirstFileW(fileName, findData);
}

BOOL WINAPI LimitedCopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists) {
    return Refused(existingFileName) || Refused(newFileName) ? FALSE
                                                             : CopyFileW(existingFileName, newFileName, failIfExists);
}

BOOL WINAPI LimitedMoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
    if (Refused(existingFileName) || Refused(newFileName)) return FALSE;
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        const DWORD target = GetFileAttributesW(newFileName);
        if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) &&
            !(target & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return MoveFileExW(existingFileName, newFileName, flags);
}

BOOL WINAPI LimitedDeleteFileW(LPCWSTR fileName) { return Refused(fileName) ? FALSE : DeleteFileW(fileName); }

BOOL WINAPI LimitedRemoveDirectoryW(LPCWSTR pathName) {
    return Refused(pathName) ? FALSE : RemoveDirectoryW(pathName);
}

BOOL WINAPI LimitedCreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    return Refused(pathName, kFolderLimit) ? FALSE : CreateDirectoryW(pathName, attributes);
}

BOOL WINAPI LimitedSetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
    return Refused(fileName) ? FALSE : SetFileAttributesW(fileName, attributes);
}

DWORD WINAPI LimitedGetFileAttributesW(LPCWSTR fileName) {
    return Refused(fileName) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(fileName);
}

BOOL WINAPI LimitedGetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    return Refused(fileName) ? FALSE : GetFileAttributesExW(fileName, level, information);
}

HANDLE WINAPI LimitedCreateFileW(LPCWSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
    return Refused(fileName) ? INVALID_HANDLE_VALUE
                             : CreateFileW(fileName, access, share, security, disposition, flags, templateFile);
}

BOOLEAN WINAPI LimitedCreateSymbolicLinkW(LPCWSTR linkName, LPCWSTR target, DWORD flags) {
    return Refused(linkName) ? FALSE : CreateSymbolicLinkW(linkName, target, flags);
}

int WINAPI LimitedSHFileOperationW(LPSHFILEOPSTRUCTW fileOp) {
    if (fileOp->wFunc != FO_COPY) return SHFileOperationW(fileOp);
    constexpr int kInvalidFiles = 0x7C;  // what the shell answers for a list it cannot take
    const wchar_t* from = fileOp->pFrom;
    const wchar_t* to = fileOp->pTo;
    if (from == nullptr || to == nullptr || LongOrDevice(from) || LongOrDevice(to)) return kInvalidFiles;
    MakeParents(to);
    const DWORD attributes = GetFileAttributesW(from);
    if (attributes == INVALID_FILE_ATTRIBUTES) return ERROR_FILE_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        CopyWithinLimit(from, to);
        return 0;
    }
    if (TooLong(from, MAX_PATH) || TooLong(to, MAX_PATH)) return ERROR_PATH_NOT_FOUND;
    return CopyFileW(from, to, FALSE) ? 0 : static_cast<int>(GetLastError());
}
