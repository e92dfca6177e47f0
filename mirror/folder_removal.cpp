#include "mirror/folder_removal.h"

#include <vector>

#include "mirror/shell_op.h"

#ifdef _WIN32
namespace {

// Windows refuses to remove a read-only file or folder; the user asked for it to go all the same.
void ClearReadOnly(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

}  // namespace

// The shell's own removal may walk into a junction inside the folder and delete what it leads to,
// or stop at one whose access rules forbid listing it. This walk removes every link as itself and
// enters only real folders; it keeps its own stack, so a deep tree cannot overflow the thread's.
bool RemoveFolder(const std::wstring& directory) {
    WIN32_FIND_DATAW record;
    if (!LookUpEntry(directory, record)) return false;
    if (twinfold::IsLinkRecord(record.dwFileAttributes, record.dwReserved0)) {
        return twinfold::RemoveLink(directory, record.dwFileAttributes);
    }
    struct Folder {
        std::wstring path;
        DWORD attributes;
        bool emptied;
    };
    std::vector<Folder> stack{{directory, record.dwFileAttributes, false}};
    while (!stack.empty()) {
        if (stack.back().emptied) {
            const Folder folder = stack.back();
            stack.pop_back();
            ClearReadOnly(folder.path, folder.attributes);
            if (!RemoveDirectoryW(folder.path.c_str())) return false;
            continue;
        }
        stack.back().emptied = true;
        const std::wstring folder = stack.back().path;
        HANDLE search = FindFirstFileW((folder + twinfold::kListPattern).c_str(), &record);
        if (search == INVALID_HANDLE_VALUE) return false;
        bool listed = true;
        do {
            const std::wstring name(record.cFileName);
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + twinfold::kPathSeparator + name;
            if (twinfold::IsLinkRecord(record.dwFileAttributes, record.dwReserved0)) {
                listed = twinfold::RemoveLink(child, record.dwFileAttributes);
            } else if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                stack.push_back({child, record.dwFileAttributes, false});
            } else {
                ClearReadOnly(child, record.dwFileAttributes);
                listed = DeleteFileW(child.c_str()) != FALSE;
            }
        } while (listed && FindNextFileW(search, &record));
        // Anything but the normal end of the listing leaves entries that were never removed.
        const DWORD error = listed ? GetLastError() : ERROR_SUCCESS;
        FindClose(search);
        if (!listed || error != ERROR_NO_MORE_FILES) return false;
    }
    return true;
}
#else
bool RemoveFolder(const std::wstring& directory) {
    // The POSIX layer removes a tree by descriptor, never entering a link.
    return RunShellOperation(FO_DELETE, directory, nullptr, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);
}
#endif
