// An in-memory snapshot of a directory tree, taken once, and the cursors that walk it.
//
// Walking order: the kept directories in pre-order; within each, first its subdirectory records,
// then its file records, each in listing order. Every directory is yielded (in its parent's turn)
// before anything inside it, which the copy pass relies on.
//
// A snapshot keeps of each entry only what the passes read: its name, attributes, reparse tag and
// size. A million entries then fit in tens of megabytes, where whole find records took a gigabyte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

class NameArena;
class PathMemo;

// What a scan keeps of each entry. `kinds` is for a pass that reads only names and kinds: the
// listing (twinfold::FindFirstKinds) then spares a call per entry on POSIX, where Size() is 0 and
// Attributes() holds only the directory and reparse-point bits (FILE_ATTRIBUTE_NORMAL otherwise).
enum class Detail { full, kinds };

// Whether a listing of a volume's root keeps the two folders Windows makes there for itself,
// "System Volume Information" and "$RECYCLE.BIN" (in any case). A mirror of a drive leaves them out:
// the first cannot even be listed, and neither is the user's data.
enum class VolumeFolders { kept, leftOut };

// One scanned directory. The constructor lists `path`; if the listing of a tree's root cannot be
// opened, the path's own record (when it can be looked up) becomes the one file entry. Never fails,
// but a listing that could not be read to its end leaves Complete() false.
// Entries are numbered in walking order: the subdirectories first, then the files.
class CDirectory {
public:
    // The names are kept in `names`, which must outlive this directory. A folder below the root
    // names its `parent` (which must outlive it too) and its entry there: it keeps no path of its own,
    // so a tree thousands of levels deep does not hold a whole path per folder. Such a folder that
    // cannot be listed has no entries: its own record stands for it in its parent's listing already.
    // `memo`, shared by the folders of one tree, keeps the paths last put together from the links.
    CDirectory(const std::wstring& path, NameArena& names, Detail detail = Detail::full,
               VolumeFolders volumeFolders = VolumeFolders::kept, const CDirectory* parent = nullptr,
               std::size_t entryInParent = 0, PathMemo* memo = nullptr);
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;

    std::wstring Path() const;  // exactly as passed to the scan
    const CDirectory* Parent() const { return m_parent; }  // the folder that holds this one; none for the root
    // Appends Path() to `out`, less its first `skip` characters (the root's, say).
    void AppendPath(std::wstring& out, std::size_t skip = 0) const;
    bool HasEntries() const { return !m_entries.empty(); }
    std::size_t Count() const { return m_entries.size(); }
    // False when the listing was refused or broke off with an error: entries may be missing. A
    // folder that does not exist (or is not a folder) is complete, with no entries.
    bool Complete() const { return m_complete; }
    const twinfold::SystemError& ListError() const { return m_listError; }  // why not Complete()

    // Entry `index` (below Count()): a directory record when below the number of subdirectories.
    bool IsDirectory(std::size_t index) const { return index < m_subdirCount; }
    const wchar_t* Name(std::size_t index) const { return m_entries[index].name; }
    DWORD Attributes(std::size_t index) const { return m_entries[index].attributes; }
    // The find record's reparse tag (its dwReserved0) for a reparse point; the special kind of a
    // POSIX FIFO, socket or device (see twinfold::KeptTag); 0 for anything else.
    DWORD ReparseTag(std::size_t index) const { return m_entries[index].reparseTag; }
    twinfold::EntryKind Kind(std::size_t index) const {
        return twinfold::KindOf(m_entries[index].attributes, m_entries[index].reparseTag);
    }
    // The size of the data; a device has none, and keeps its number in the same place.
    unsigned long long Size(std::size_t index) const {
        return twinfold::IsDevice(Kind(index)) ? 0 : m_entries[index].size;
    }
    DWORD Device(std::size_t index) const {
        return twinfold::IsDevice(Kind(index)) ? static_cast<DWORD>(m_entries[index].size) : 0;
    }

private:
    friend class CDirectoryTree;
    friend class PathMemo;
    friend class CTreeIterator;

    struct Entry {
        const wchar_t* name;  // terminated, in the snapshot's name arena
        unsigned long long size;  // a device's number instead, as a device holds no data
        DWORD attributes;
        DWORD reparseTag;
    };

    std::wstring m_rootPath;                // the root's path; empty below it
    const CDirectory* m_parent = nullptr;  // below the root: the folder that holds this one
    const wchar_t* m_name = nullptr;       // below the root: this folder's name there
    PathMemo* m_memo = nullptr;            // below the root: the tree's
    std::vector<Entry> m_entries;  // subdirectories except "." and "..", then every other record
    std::size_t m_subdirCount = 0;
    // Per subdirectory entry, where the snapshot keeps that folder's own entries (see
    // CTreeIterator::Inside), or kNotKept for a link, an empty folder or a folder not scanned; with
    // the two flags for a folder whose own listing, or one below it, could not be read to its end.
    static constexpr std::uint32_t kUnreadable = 1u << 31;
    static constexpr std::uint32_t kUnreadableBelow = 1u << 30;
    static constexpr std::uint32_t kNotKept = kUnreadableBelow - 1;
    std::vector<std::uint32_t> m_inside;
    bool m_complete = true;
    twinfold::SystemError m_listError;  // why the listing is not complete
};

class CTreeIterator;

enum class Recursion { no, yes };

// Called once for every scanned directory, on the thread that scanned it, before anything below it
// is scanned: a pass can do per-entry work of its own there, side by side with the scan. Calls for
// different directories come in no particular order and may run at the same time.
using ScanHook = std::function<void(const CDirectory&)>;

// The snapshot of a tree. Built completely by the constructor; never changes afterwards.
// A root that does not exist or lists nothing gives an empty snapshot (Begin() is at its end).
// Subdirectories that are links (reparse points) are kept as entries but never entered, so a walk
// never leaves the tree and a link cycle cannot recurse.
class CDirectoryTree {
public:
    // `volumeFolders` applies to the root's own listing only: nowhere below is any entry left out.
    CDirectoryTree(const std::wstring& root, Recursion recursion, const ScanHook& hook = nullptr,
                   Detail detail = Detail::full, VolumeFolders volumeFolders = VolumeFolders::kept);
    ~CDirectoryTree();
    CDirectoryTree(const CDirectoryTree&) = delete;
    CDirectoryTree& operator=(const CDirectoryTree&) = delete;

    CTreeIterator Begin() const;
    const std::wstring& Root() const { return m_root; }
    // False when some folder of the tree could not be listed to its end (see CDirectory): the
    // snapshot may lack entries, so a pass must not report a complete mirror from it.
    bool Complete() const { return m_complete; }
    // When not Complete(): the first folder, in walking order, that could not be listed to its end,
    // and why.
    const std::wstring& IncompletePath() const { return m_incompletePath; }
    const twinfold::SystemError& IncompleteError() const { return m_incompleteError; }

private:
    friend class CTreeIterator;
    void AddDirectory(const std::wstring& path, Recursion recursion, const ScanHook& hook, Detail detail,
                      VolumeFolders volumeFolders);

    std::unique_ptr<NameArena> m_names;                      // declared first: the directories point into it
    std::unique_ptr<PathMemo> m_paths;                       // as are the paths they were last asked for
    std::vector<std::unique_ptr<CDirectory>> m_directories;  // directories with entries, pre-order
    std::wstring m_root;
    bool m_complete = true;
    std::wstring m_incompletePath;
    twinfold::SystemError m_incompleteError;
};

// The cursor over a whole snapshot. A small value: copies walk on their own. Must not outlive its tree.
// At the end it answers with nothing: no name, no attributes, empty paths.
class CTreeIterator {
public:
    CTreeIterator() = default;  // the end cursor

    void Next();
    bool AtEnd() const { return m_directory == nullptr; }
    bool IsDirectory() const { return !AtEnd() && m_directory->IsDirectory(m_index); }
    const wchar_t* Name() const { return AtEnd() ? L"" : m_directory->Name(m_index); }
    DWORD Attributes() const { return AtEnd() ? 0 : m_directory->Attributes(m_index); }
    DWORD ReparseTag() const { return AtEnd() ? 0 : m_directory->ReparseTag(m_index); }
    twinfold::EntryKind Kind() const { return AtEnd() ? twinfold::EntryKind::file : m_directory->Kind(m_index); }
    unsigned long long Size() const { return AtEnd() ? 0 : m_directory->Size(m_index); }
    DWORD Device() const { return AtEnd() ? 0 : m_directory->Device(m_index); }
    std::wstring GetFullPath() const;      // the directory's path, separator, name; empty at the end
    std::wstring GetRelativePath() const;  // begins with a separator; empty at the end
    // Appends the relative path to `out` without building a temporary; nothing at the end.
    void AppendRelativePath(std::wstring& out) const;

    // Where the entry stands: its directory and its number there (see CDirectory). Null at the end.
    const CDirectory* Directory() const { return m_directory; }
    std::size_t Index() const { return m_index; }

    // For a folder entry: whether its own listing was refused or broke off, and whether that is so
    // of it or any folder below it. Always false in a snapshot made without recursion.
    bool IsUnreadable() const { return InsideFlags() & CDirectory::kUnreadable; }
    bool HasUnreadableBelow() const { return InsideFlags() & CDirectory::kUnreadableBelow; }

    // For a folder entry: a cursor at the first entry inside that folder. Walked on, it yields
    // everything below the folder (in walking order) for as long as its directory's path is the
    // folder's path or lies below it. The end cursor for a file, a link, or a folder with nothing
    // in it (or not scanned: a snapshot made without recursion).
    CTreeIterator Inside() const;

private:
    friend class CDirectoryTree;

    std::uint32_t InsideFlags() const {
        return IsDirectory() && !m_directory->m_inside.empty() ? m_directory->m_inside[m_index] : CDirectory::kNotKept;
    }

    const CDirectoryTree* m_tree = nullptr;
    const CDirectory* m_directory = nullptr;  // null at the end
    std::size_t m_directoryIndex = 0;
    std::size_t m_index = 0;
};

// The full 64-bit size of a find record.
inline unsigned long long RecordSize(const WIN32_FIND_DATAW& record) {
    return (static_cast<unsigned long long>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}
