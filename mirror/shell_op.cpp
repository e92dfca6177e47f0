#include "mirror/shell_op.h"

bool LookUpEntry(const std::wstring& path, WIN32_FIND_DATAW& found) {
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
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
