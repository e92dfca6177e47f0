// The one header through which the engine reaches the operating system.
// On Windows it brings in the real Win32 API; elsewhere it declares our stand-ins (platform/posix_*.cpp).
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#ifdef TWINFOLD_WINDOWS_LIMITS
#include "platform/windows_limits.h"  // test builds only: Windows' own limits, kept under Wine
#endif

#else  // POSIX stand-in: the Win32 names and types the engine uses, nothing more.

#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef wchar_t WCHAR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef void* HANDLE;
typedef void* HWND;
typedef void* LPVOID;
typedef WORD FILEOP_FLAGS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u

// Reparse tags, reported in dwReserved0 of a find record whose entry is a reparse point. A symbolic
// link is the only kind the POSIX layer reports.
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003u
#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu
#define IsReparseTagNameSurrogate(tag) (((tag) & 0x20000000u) != 0)

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

#define MOVEFILE_REPLACE_EXISTING 0x00000001u

#define FO_COPY 0x0002u
#define FO_DELETE 0x0003u
#define FOF_SILENT 0x0004u
#define FOF_NOCONFIRMATION 0x0010u
#define FOF_NOCONFIRMMKDIR 0x0200u
#define FOF_NOERRORUI 0x0400u

struct SHFILEOPSTRUCTW {
    HWND hwnd;
    UINT wFunc;
    LPCWSTR pFrom;
    LPCWSTR pTo;
    FILEOP_FLAGS fFlags;
    BOOL fAnyOperationsAborted;
    LPVOID hNameMappings;
    LPCWSTR lpszProgressTitle;
};

// The Win32 error values that GetLastError() can report here (errno is mapped onto them).
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_SAME_DEVICE 17u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INVALID_NAME 123u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_IO_DEVICE 1117u
#define ERROR_CANT_RESOLVE_FILENAME 1921u

// Directory search. A path ending in twinfold::kListPattern lists that directory; any other path
// looks up the entry it names without following a final symbolic link. INVALID_HANDLE_VALUE and
// GetLastError() on failure.
HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData);
BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findData);
BOOL FindClose(HANDLE findFile);

// File operations. A replacing write goes to a temporary name in the target folder and is renamed
// into place, so a failure or a kill never leaves a partial file under a real name. A copy that must
// not replace anything (failIfExists) is written directly under its new name.
BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
// Renames a file or folder; MOVEFILE_REPLACE_EXISTING replaces a file or link, never a folder.
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
// Only FILE_ATTRIBUTE_NORMAL, which changes nothing here: POSIX removals ignore an entry's own bits.
BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes);
BOOL DeleteFileW(LPCWSTR fileName);
int SHFileOperationW(SHFILEOPSTRUCTW* fileOp);

// Profile (INI) files, UTF-8 on disk.
DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue, LPWSTR returnedString,
                               DWORD size, LPCWSTR fileName);
BOOL WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR value, LPCWSTR fileName);

// Per-thread error value of the last failed call above.
DWORD GetLastError();
void SetLastError(DWORD errorCode);

#endif  // _WIN32

namespace twinfold {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
inline constexpr wchar_t kWildcard = L'*';
inline constexpr bool kNamesIgnoreCase = true;
#else
inline constexpr wchar_t kPathSeparator = L'/';
// POSIX names may contain '*', so a listing is asked for with a code point that no decoded name can
// hold: the escape of byte 0x2A, which is plain ASCII and therefore never escaped.
inline constexpr wchar_t kWildcard = static_cast<wchar_t>(0xDC2A);
inline constexpr bool kNamesIgnoreCase = false;
#endif

// Appended to a directory path, asks FindFirstFileW for the listing of that directory.
inline constexpr wchar_t kListPattern[] = {kPathSeparator, kWildcard, L'.', kWildcard, 0};

// Starts a listing like FindFirstFileW on `pattern` (a folder's path followed by kListPattern) whose
// records need tell only each entry's name and kind: the directory and reparse-point bits of
// dwFileAttributes (a link to a folder has both), the reparse tag in dwReserved0, and
// FILE_ATTRIBUTE_NORMAL for anything else. On POSIX the size, the times and the read-only bit are
// left zero, and the kinds come from the listing itself, with no call per entry where the file
// system tells them; on Windows this is FindFirstFileW. Continued with FindNextFileW, closed with
// FindClose; fails as FindFirstFileW does.
#ifdef _WIN32
inline HANDLE FindFirstKinds(LPCWSTR pattern, WIN32_FIND_DATAW* record) { return FindFirstFileW(pattern, record); }
#else
HANDLE FindFirstKinds(LPCWSTR pattern, WIN32_FIND_DATAW* record);
#endif

// A link (symbolic link or junction) is a reparse point that stands for another name. Other reparse
// points (deduplicated or compressed files, cloud placeholders) are ordinary files and folders.
inline bool IsLinkRecord(DWORD attributes, DWORD reparseTag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

// What an entry is. Windows lists files, folders and links. The POSIX layer also lists FIFOs,
// sockets and devices: their records carry the kind in dwReserved0 (a record with no reparse point
// has no tag there) and a device's number in dwReserved1.
enum class EntryKind { file, folder, link, fifo, socket, characterDevice, blockDevice };
inline constexpr DWORD kSpecialFifo = 1;
inline constexpr DWORD kSpecialSocket = 2;
inline constexpr DWORD kSpecialCharacterDevice = 3;
inline constexpr DWORD kSpecialBlockDevice = 4;

// The tag a pass keeps of a record: the reparse tag of a reparse point, the special kind of a POSIX
// FIFO, socket or device, 0 for anything else. (Windows leaves dwReserved0 undefined elsewhere.)
inline DWORD KeptTag(const WIN32_FIND_DATAW& record) {
    if (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return record.dwReserved0;
#ifdef _WIN32
    return 0;
#else
    return record.dwReserved0 <= kSpecialBlockDevice ? record.dwReserved0 : 0;
#endif
}

// The kind of an entry from its attributes and its kept tag (see KeptTag).
inline EntryKind KindOf(DWORD attributes, DWORD keptTag) {
    if (IsLinkRecord(attributes, keptTag)) return EntryKind::link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::folder;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::file;
    switch (keptTag) {
        case kSpecialFifo: return EntryKind::fifo;
        case kSpecialSocket: return EntryKind::socket;
        case kSpecialCharacterDevice: return EntryKind::characterDevice;
        case kSpecialBlockDevice: return EntryKind::blockDevice;
        default: return EntryKind::file;
    }
}

inline bool IsDevice(EntryKind kind) { return kind == EntryKind::characterDevice || kind == EntryKind::blockDevice; }

// What a link is: its kind (reparse tag) and the text of its target as the link stores it.
struct LinkTarget {
    DWORD tag = 0;
    std::wstring text;
    bool operator==(const LinkTarget& other) const { return tag == other.tag && text == other.text; }
};

// Reads the link at `path` itself, never what it leads to. False with GetLastError() when it cannot
// be read or is no link.
bool ReadLinkTarget(const std::wstring& path, LinkTarget& target);

// Makes a new link at `to` of the same kind and target as the link `from`, never following either
// and never replacing anything at `to`. False with GetLastError() when it cannot be made.
bool CopyLink(const std::wstring& from, const std::wstring& to);

// Creates the folder `path` and every missing folder above it. True when it is a folder afterwards.
bool CreateFolders(const std::wstring& path);

// Removes the link at `path` itself, never what it leads to; `attributes` are those of its find
// record (a link to a folder is removed as a folder entry on Windows). False with GetLastError().
bool RemoveLink(const std::wstring& path, DWORD attributes);

// A summary of the entries below one folder (their paths from that folder, kinds and sizes) that does
// not depend on the order they are added in. A folder copy sums up what it made; the copy pass sums
// up what its snapshot holds below that folder, and where the two agree it knows the answer of every
// lookup there without making one.
class EntryDigest {
public:
    enum class Kind { folder, link, other };

    // The hash of the path of `name` in a folder whose path hash is `folder`; the folder the digest is
    // about has the path hash 0.
    static std::uint64_t PathHash(std::uint64_t folder, const wchar_t* name, std::size_t length) {
        std::uint64_t hash = folder ^ 0xCBF29CE484222325ULL;
        for (std::size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<std::uint32_t>(name[i])) * 0x100000001B3ULL;
        return Mix(hash ^ length);
    }
    // A file's size is its data's; a folder's is not counted.
    void Add(std::uint64_t pathHash, Kind kind, std::uint64_t size) {
        m_sum += Mix(pathHash + Mix(static_cast<std::uint64_t>(kind) + 1) + Mix(kind == Kind::folder ? 0 : size));
        ++m_count;
    }
    void Add(const EntryDigest& other) {
        m_sum += other.m_sum;
        m_count += other.m_count;
    }
    bool operator==(const EntryDigest& other) const { return m_sum == other.m_sum && m_count == other.m_count; }
    bool operator!=(const EntryDigest& other) const { return !(*this == other); }

private:
    static std::uint64_t Mix(std::uint64_t x) {
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
        return x ^ (x >> 31);
    }

    std::uint64_t m_sum = 0;
    std::uint64_t m_count = 0;
};

// What the last folder copy on this thread (SHFileOperationW FO_COPY of a folder) made below the
// folder, when it succeeded and the platform layer kept count. False otherwise: on Windows the
// shell's copy does not tell.
bool LastFolderCopyDigest(EntryDigest& digest);

// The calling thread's last error, kept as a value so that a message can give the reason later.
struct SystemError {
    DWORD code = 0;  // what GetLastError() reported
    int detail = 0;  // POSIX: the errno that `code` was mapped from, or 0 when the layer set `code` itself
    // The entry that the failure concerned, when the platform layer knows it (it may lie below the
    // path a call was given, inside a folder being copied); empty otherwise.
    std::wstring path;
};
// Read once, right where the call that failed returned.
SystemError LastSystemError();
// The system's own words for an error, such as "No space left on device"; never empty.
std::wstring DescribeSystemError(const SystemError& error);

// The text that every call below a root is made with, formed once from the root the user typed.
// On Windows it is the root's full path in the long form ("\\?\C:\data", "\\?\UNC\server\share\data"):
// no length limit applies to paths formed below it, and trailing dots and spaces or device names
// such as "con.txt" are names like any other instead of being stripped or mapped. A root typed in
// the long form is kept as typed. It never ends in a separator, not even at a drive's root ("\\?\C:"),
// because paths below it are formed by appending a separator and a name and the long form takes no
// doubled separator. On POSIX the root as typed.
// IsLongForm tells whether a path is in the long form; WithoutLongForm gives the ordinary form of a
// path that LongFormRoot made from an ordinary one.
#ifdef _WIN32
std::wstring LongFormRoot(const std::wstring& root);
bool IsLongForm(const std::wstring& path);
std::wstring WithoutLongForm(const std::wstring& path);
#else
inline std::wstring LongFormRoot(const std::wstring& root) { return root; }
inline bool IsLongForm(const std::wstring&) { return false; }
inline std::wstring WithoutLongForm(const std::wstring& path) { return path; }
#endif

// False when a call on `path` could not have reached the entry it names, whatever is there: on Windows
// a path in the ordinary form of MAX_PATH characters or more, which the system answers with "path not
// found" without looking. Such an answer must never be taken for "the entry is missing".
#ifdef _WIN32
inline bool CanAddress(const std::wstring& path) { return IsLongForm(path) || path.size() < MAX_PATH; }
#else
inline bool CanAddress(const std::wstring&) { return true; }
#endif

// True when `root` (any form) is the root of a volume: a drive ("D:\"), a share, or a volume mounted
// on a folder. Always false on POSIX.
#ifdef _WIN32
bool IsVolumeRoot(const std::wstring& root);
#else
inline bool IsVolumeRoot(const std::wstring&) { return false; }
#endif

// Temporary entries are named with this prefix; one left behind by a crash is an extra entry of the
// destination, which the next delete pass removes like any other.
inline constexpr wchar_t kTemporaryPrefix[] = L".twinfold-tmp-";
// A fresh name for a temporary entry: the prefix and twelve hex digits, never the same twice in one
// process. Short, so that it fits wherever a name of its folder could.
std::wstring TemporaryName();

// True when the names `a` and `b` differ at most in the case of their letters (any script), as a file
// system that ignores case compares them.
bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b);

// Absolute form of `path` with relative parts and symbolic links resolved, as far as the path exists;
// the components below the deepest existing folder are appended lexically ("." and ".." folded).
// Used only to tell whether two roots overlap; never to name what a pass works on.
// Returns an empty string when the path cannot be resolved at all.
std::wstring ResolveFullPath(const std::wstring& path);

// What a folder is, whatever text names it: device and inode on POSIX, volume serial number and file
// index on Windows. Two paths with equal identities name the same folder.
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FolderIdentity& other) const { return volume == other.volume && index == other.index; }
    bool operator!=(const FolderIdentity& other) const { return !(*this == other); }
};

// The identity of the folder `path` names, following links on the way and at its end. False when the
// path names no folder (missing, running through a file, a file, or unreadable), with the reason in
// GetLastError().
bool GetFolderIdentity(const std::wstring& path, FolderIdentity& identity);

#ifndef _WIN32
// Where `path` lies within its file system: the device of the mount that holds it, and its path from
// that file system's own root (the mount's root joined with the path below the mount point), so that
// a folder reached through a bind mount is placed where it really is. The part of the path that does
// not exist yet is appended as written. False when the path or the mount table cannot be read.
bool GetFolderPlace(const std::wstring& path, std::uint64_t& device, std::wstring& placeInFileSystem);
#endif

// For as long as it lives, a folder copy on this thread (SHFileOperationW FO_COPY) leaves out the
// folders below the copied one that it may not open, instead of failing there: the caller knows them
// from its own listing and fails the run for them. POSIX only: on Windows the engine copies such a
// folder itself.
class UnreadableFoldersLeftOut {
public:
#ifdef _WIN32
    UnreadableFoldersLeftOut() = default;
#else
    UnreadableFoldersLeftOut();
    ~UnreadableFoldersLeftOut();
#endif
    UnreadableFoldersLeftOut(const UnreadableFoldersLeftOut&) = delete;
    UnreadableFoldersLeftOut& operator=(const UnreadableFoldersLeftOut&) = delete;
};

// Tells the platform layer the two roots of a pass for as long as it lives. On POSIX every call on a
// path below a root then starts from a descriptor of that root, opened once (a link in the root's own
// path is followed there), and goes down one name at a time, never through a link; a listing that
// meets a root below a root makes that and every later call below the roots fail. Calls on other
// paths are unaffected. Nothing on Windows, where the calls take paths as they are.
class PassRoots {
public:
#ifdef _WIN32
    PassRoots(const wchar_t*, const wchar_t*) {}
#else
    PassRoots(const wchar_t* srcRoot, const wchar_t* dstRoot);
    ~PassRoots();
#endif
    PassRoots(const PassRoots&) = delete;
    PassRoots& operator=(const PassRoots&) = delete;

#ifndef _WIN32
    struct State;  // the layer's own

private:
    State* m_state = nullptr;
    State* m_previous = nullptr;
#endif
};

}  // namespace twinfold
