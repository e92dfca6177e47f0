// Windows: the long form of a root (twinfold::LongFormRoot), twinfold::ResolveFullPath and
// twinfold::GetFolderIdentity, through GetFullPathNameW and folders opened without any access right.
// It may only read names and identities: nothing is ever changed.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/win32.h"

namespace twinfold {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// End of "server\share\" when `start` is where the server name begins.
std::size_t UncRootEnd(const std::wstring& path, std::size_t start) {
    for (int part = 0; part < 2; ++part) {
        while (start < path.size() && !IsSeparator(path[start])) ++start;
        if (start < path.size()) ++start;
    }
    return start;
}

// Length of the part of an absolute path that cannot be taken away: "C:\" or "\\server\share\",
// also behind a "\\?\" or "\\.\" prefix. Zero when the form is not recognised.
std::size_t RootLength(const std::wstring& path) {
    std::size_t start = 0;
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
        IsSeparator(path[3])) {
        if (path.compare(4, 4, L"UNC\\") == 0) return UncRootEnd(path, 8);
        start = 4;
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return UncRootEnd(path, 2);
    }
    if (path.size() >= start + 2 && path[start + 1] == L':') {
        return path.size() >= start + 3 && IsSeparator(path[start + 2]) ? start + 3 : start + 2;
    }
    return 0;
}

std::wstring FullPathName(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring buffer(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
    // A second result as large as the buffer means the current folder changed in between.
    if (written == 0 || written >= needed) return {};
    buffer.resize(written);
    return buffer;
}

// The long form of a path that may be in either form, as a folder can be opened by it: a drive's or a
// share's root keeps its final separator there ("\\?\C:" alone would name the volume, not its root).
std::wstring OpenableFolderPath(const std::wstring& path) {
    if (path.empty()) return path;  // never the current drive's root
    std::wstring folder = LongFormRoot(path);
    if (RootLength(folder) >= folder.size()) folder.push_back(L'\\');
    return folder;
}

// The name the system gives an existing entry once every link on the way is followed; empty when the
// entry cannot be opened.
std::wstring FinalPathName(const std::wstring& path) {
    // No access rights: only the name is wanted, and backup semantics lets folders be opened.
    HANDLE entry = CreateFileW(OpenableFolderPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return {};
    std::wstring name;
    const DWORD needed = GetFinalPathNameByHandleW(entry, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (needed != 0) {
        name.assign(needed, L'\0');
        const DWORD written =
            GetFinalPathNameByHandleW(entry, &name[0], needed, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (written == 0 || written >= needed) {
            name.clear();
        } else {
            name.resize(written);
        }
    }
    CloseHandle(entry);
    return WithoutLongForm(name);
}

// "C:\a\" and "C:\a" name one folder; only a root keeps its separator.
void DropTrailingSeparators(std::wstring& path) {
    const std::size_t root = RootLength(path);
    while (path.size() > root && path.size() > 1 && IsSeparator(path.back())) path.pop_back();
}

}  // namespace

bool IsLongForm(const std::wstring& path) { return path.compare(0, 4, L"\\\\?\\") == 0; }

std::wstring WithoutLongForm(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
    if (IsLongForm(path)) return path.substr(4);
    return path;
}

std::wstring LongFormRoot(const std::wstring& root) {
    std::wstring path = root;
    if (!IsLongForm(root)) {
        path = FullPathName(root);
        // The device namespace ("\\.\...") and texts that name no path are left to fail as typed.
        if (path.empty() || path.compare(0, 4, L"\\\\.\\") == 0) return root;
        path = path.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
    }
    while (path.size() > 4 && path.back() == L'\\') path.pop_back();
    return path;
}

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool IsVolumeRoot(const std::wstring& root) {
    std::wstring folder = OpenableFolderPath(root);
    if (folder.back() != L'\\') folder.push_back(L'\\');  // GetVolumePathNameW answers with one
    std::wstring volume(folder.size() + 1, L'\0');
    if (!GetVolumePathNameW(folder.c_str(), &volume[0], static_cast<DWORD>(volume.size()))) return false;
    volume.resize(std::wcslen(volume.c_str()));
    return CompareStringOrdinal(volume.c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring ResolveFullPath(const std::wstring& path) {
    std::wstring full = FullPathName(path);
    if (full.empty()) return {};
    DropTrailingSeparators(full);
    const std::size_t root = RootLength(full);

    // Find the deepest part of the path that exists; what lies below it is kept as written, since
    // GetFullPathNameW has already folded "." and "..".
    std::size_t existingLength = full.size();
    for (;;) {
        std::wstring resolved = FinalPathName(full.substr(0, existingLength));
        if (!resolved.empty()) {
            DropTrailingSeparators(resolved);
            std::wstring rest = full.substr(existingLength);
            if (!rest.empty() && !resolved.empty() && IsSeparator(resolved.back()) && IsSeparator(rest.front())) {
                rest.erase(0, 1);
            }
            return resolved + rest;
        }
        if (existingLength <= root) return full;  // nothing of it exists: the lexical form will do
        const std::size_t cut = full.find_last_of(L"\\/", existingLength - 1);
        existingLength = (cut == std::wstring::npos || cut < root) ? root : cut;
        if (existingLength == 0) return full;
    }
}

bool GetFolderIdentity(const std::wstring& path, FolderIdentity& identity) {
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Attributes only; backup semantics lets a folder be opened at all.
    HANDLE entry = CreateFileW(OpenableFolderPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL read = GetFileInformationByHandle(entry, &info);
    const DWORD error = GetLastError();
    CloseHandle(entry);
    if (!read) {
        SetLastError(error);
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

}  // namespace twinfold
