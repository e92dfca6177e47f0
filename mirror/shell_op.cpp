#include "mirror/shell_op.h"

namespace {

// The entry of the folder `folder` named exactly `name`, or else one whose name differs from it only
// in case, by a listing of the folder. False with ERROR_FILE_NOT_FOUND when there is neither.
bool FindInListing(const std::wstring& folder, const std::wstring& name, WIN32_FIND_DATAW& found) {
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW((folder + twinfold::kListPattern).c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool caseVariant = false;
    do {
        if (name == record.cFileName) {
            found = record;
            FindClose(search);
            return true;
        }
        if (!caseVariant && twinfold::SameNameIgnoringCase(name, record.cFileName)) {
            found = record;
            caseVariant = true;
        }
    } while (FindNextFileW(search, &record));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return false;  // the folder could not be read to its end
    if (!caseVariant) SetLastError(ERROR_FILE_NOT_FOUND);
    return caseVariant;
}

}  // namespace

bool LookUpEntry(const std::wstring& path, WIN32_FIND_DATAW& found) {
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    const std::size_t separator = path.rfind(twinfold::kPathSeparator);
    if (separator == std::wstring::npos || path.compare(separator + 1, std::wstring::npos, found.cFileName) == 0) {
        return true;
    }
    // Windows takes the name for a pattern, in which a final dot matches a name without one, and a
    // short 8.3 alias stands for its long name; a file system may ignore case. What the folder holds
    // decides.
    return FindInListing(path.substr(0, separator), path.substr(separator + 1), found);
}

bool RunShellOperation(UINT operation, const std::wstring& from, const std::wstring* to, FILEOP_FLAGS flags) {
    // The shell takes lists of paths, each list ending in two NULs.
    std::wstring fromList = from;
    fromList.push_back(L'\0');
    std::wstring toList;
    if (to != nullptr) {
        toList = *to;
        toList.push_back(L'\0');
    }
    SHFILEOPSTRUCTW op{};
    op.hwnd = nullptr;
    op.wFunc = operation;
    op.pFrom = fromList.c_str();
    op.pTo = to != nullptr ? toList.c_str() : nullptr;
    op.fFlags = flags;
    op.fAnyOperationsAborted = FALSE;
    return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

bool EvenIfReadOnly(const std::wstring& path, const std::function<bool()>& change) {
    if (change()) return true;
#ifdef _WIN32
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        !(attributes & FILE_ATTRIBUTE_READONLY) || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        SetLastError(error);
        return false;
    }
    if (change()) return true;
    const DWORD again = GetLastError();
    SetFileAttributesW(path.c_str(), attributes);
    SetLastError(again);
#else
    (void)path;
#endif
    return false;
}

VolumeFolders VolumeFoldersOf(const std::wstring& srcRoot, const std::wstring& dstRoot) {
    return twinfold::IsVolumeRoot(srcRoot) || twinfold::IsVolumeRoot(dstRoot) ? VolumeFolders::leftOut
                                                                               : VolumeFolders::kept;
}
