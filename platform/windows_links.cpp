// Windows: reading, making and removing links (junctions and symbolic links) as themselves.
// Every handle is opened on the link itself (FILE_FLAG_OPEN_REPARSE_POINT), never on its target.
#include "platform/win32.h"

#include <winioctl.h>  // after windows.h, whose types it uses

#include <cstddef>
#include <cstring>
#include <vector>

namespace twinfold {
namespace {

// The fixed part of the reparse data of the two link kinds, as the file system hands it out.
struct LinkReparseHeader {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
    // A symbolic link has a DWORD of flags here; a junction's names follow at once.
};
constexpr std::size_t kHeaderSize = 16;  // tag, lengths and the four name fields
constexpr DWORD kSymlinkRelative = 1;     // SYMLINK_FLAG_RELATIVE

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() {
        if (Valid()) CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

HANDLE OpenItself(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The whole reparse data of the entry at `path`.
bool ReadReparseData(const std::wstring& path, std::vector<unsigned char>& data) {
    ScopedHandle entry(OpenItself(path, FILE_READ_ATTRIBUTES));
    if (!entry.Valid()) return false;
    data.assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    DWORD returned = 0;
    if (!DeviceIoControl(entry.Get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         static_cast<DWORD>(data.size()), &returned, nullptr)) {
        return false;
    }
    data.resize(returned);
    return true;
}

// One name of a link's reparse data; false when the data is too short for what it claims.
bool NameAt(const std::vector<unsigned char>& data, std::size_t namesStart, WORD offset, WORD length,
            std::wstring& name) {
    if (namesStart + offset + length > data.size() || length % sizeof(wchar_t) != 0) return false;
    name.resize(length / sizeof(wchar_t));
    if (length != 0) std::memcpy(&name[0], data.data() + namesStart + offset, length);
    return true;
}

struct ParsedLink {
    DWORD tag = 0;
    DWORD flags = 0;
    std::wstring substitute;
    std::wstring print;
};

bool ParseLink(const std::vector<unsigned char>& data, ParsedLink& link) {
    if (data.size() < kHeaderSize) return false;
    LinkReparseHeader header;
    std::memcpy(&header, data.data(), sizeof header);
    link.tag = header.tag;
    std::size_t namesStart = kHeaderSize;
    if (header.tag == IO_REPARSE_TAG_SYMLINK) {
        if (data.size() < kHeaderSize + sizeof(DWORD)) return false;
        std::memcpy(&link.flags, data.data() + kHeaderSize, sizeof(DWORD));
        namesStart += sizeof(DWORD);
    } else if (header.tag != IO_REPARSE_TAG_MOUNT_POINT) {
        return true;  // another kind of link: compared and copied as its raw data
    }
    return NameAt(data, namesStart, header.substituteOffset, header.substituteLength, link.substitute) &&
           NameAt(data, namesStart, header.printOffset, header.printLength, link.print);
}

// The target as a symbolic link is made from it: the print name, or the substitute name without its
// "\??\" prefix when a tool left the print name empty.
std::wstring SymlinkTargetText(const ParsedLink& link) {
    if (!link.print.empty()) return link.print;
    if ((link.flags & kSymlinkRelative) == 0 && link.substitute.compare(0, 4, L"\\??\\") == 0) {
        return link.substitute.substr(4);
    }
    return link.substitute;
}

bool RemoveItself(const std::wstring& path, bool folder) {
    return folder ? RemoveDirectoryW(path.c_str()) != FALSE : DeleteFileW(path.c_str()) != FALSE;
}

}  // namespace

bool ReadLinkTarget(const std::wstring& path, LinkTarget& target) {
    std::vector<unsigned char> data;
    if (!ReadReparseData(path, data)) return false;
    ParsedLink link;
    if (!ParseLink(data, link)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    target.tag = link.tag;
    if (link.tag == IO_REPARSE_TAG_SYMLINK || link.tag == IO_REPARSE_TAG_MOUNT_POINT) {
        target.text = link.substitute;
    } else {
        // Unknown kinds of link: their raw data, so that any change shows.
        target.text.assign(data.size(), L'\0');
        for (std::size_t i = 0; i < data.size(); ++i) target.text[i] = data[i];
    }
    return true;
}

bool CopyLink(const std::wstring& from, const std::wstring& to) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &attributes)) return false;
    const bool folder = (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::vector<unsigned char> data;
    if (!ReadReparseData(from, data)) return false;
    ParsedLink link;
    if (!ParseLink(data, link) || !IsReparseTagNameSurrogate(link.tag)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (link.tag == IO_REPARSE_TAG_SYMLINK) {
        // Made the documented way, so that an account in developer mode needs no privilege.
        DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
        if (folder) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
        return CreateSymbolicLinkW(to.c_str(), SymlinkTargetText(link).c_str(), flags) != FALSE;
    }
    // A junction (or another folder link) is an empty folder that carries the same reparse data.
    if (folder) {
        if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
    } else {
        HANDLE file = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        CloseHandle(file);
    }
    bool made = false;
    {
        ScopedHandle entry(OpenItself(to, GENERIC_WRITE));
        DWORD returned = 0;
        made = entry.Valid() && DeviceIoControl(entry.Get(), FSCTL_SET_REPARSE_POINT, data.data(),
                                                static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr);
    }
    if (!made) {
        const DWORD error = GetLastError();
        RemoveItself(to, folder);
        SetLastError(error);
    }
    return made;
}

bool CreateFolders(const std::wstring& path) {
    // Every folder on the way, from the top; those that exist (or cannot exist, such as "C:" or
    // "\\server") fail harmlessly, and only the last one decides.
    for (std::size_t end = path.find_first_of(L"\\/"); end != std::wstring::npos; end = path.find_first_of(L"\\/", end + 1)) {
        if (end > 0) CreateDirectoryW(path.substr(0, end).c_str(), nullptr);
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    SetLastError(error);
    return false;
}

bool RemoveLink(const std::wstring& path, DWORD attributes) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    return RemoveItself(path, folder);
}

// The shell's copy does not say what it made: the copy pass looks each entry up instead.
bool LastFolderCopyDigest(EntryDigest&) { return false; }

}  // namespace twinfold
