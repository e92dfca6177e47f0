// An in-memory snapshot of a directory tree, taken once, and the cursors that walk it.
//
// Walking order: the kept directories in pre-order; within each, first its subdirectory records,
// then its file records, each in listing order. Every directory is yielded (in its parent's turn)
// before anything inside it, which the copy pass relies on.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

// One scanned directory. The constructor lists `path`; if the listing cannot be opened, the
// path's own record (when it can be looked up) becomes the one file entry. Never fails, but a
// listing that could not be read to its end leaves IsComplete() false.
class CDirectory {
public:
    explicit CDirectory(const std::wstring& path);
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;

    bool HasEntries() const { return !m_subdirs.empty() || !m_files.empty(); }
    // False when the listing was refused or broke off with an error: entries may be missing. A
    // folder that does not exist (or is not a folder) is complete, with no entries.
    bool IsComplete() const { return m_complete; }

    std::wstring m_path;                      // exactly as passed to the scan
    std::vector<WIN32_FIND_DATAW> m_subdirs;  // directory records except "." and "..", in listing order
    std::vector<WIN32_FIND_DATAW> m_files;    // every other record, in listing order
    bool m_complete = true;
    twinfold::SystemError m_listError;  // why the listing is not complete
};

// A position within one CDirectory: its subdirectory records first, then its file records.
class CDirectoryIterator {
public:
    CDirectoryIterator() = default;  // the end position
    explicit CDirectoryIterator(const CDirectory* directory);

    void Next();
    bool IsValid() const { return m_valid; }
    bool IsSubdirectory() const { return m_valid && m_subdirIndex >= 0; }
    const WIN32_FIND_DATAW* GetFindData() const;  // null at the end position
    std::wstring GetName() const;                 // only while on an entry
    std::wstring GetFullPath() const;             // m_path, separator, name; empty at the end
    // Appends the full path to `out` without building a temporary; nothing at the end.
    void AppendFullPath(std::wstring& out) const;

    const CDirectory* m_directory = nullptr;
    bool m_valid = false;
    int m_subdirIndex = -1;
    int m_fileIndex = -1;
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
    CDirectoryTree(const std::wstring& root, Recursion recursion, const ScanHook& hook = nullptr);
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
    void AddDirectory(const std::wstring& path, const ScanHook& hook);

    std::vector<std::unique_ptr<CDirectory>> m_directories;  // directories with entries, pre-order
    std::wstring m_root;
    bool m_recursive;
    bool m_complete = true;
    std::wstring m_incompletePath;
    twinfold::SystemError m_incompleteError;
};

// The cursor over a whole snapshot. A small value: copies walk on their own. Must not outlive its tree.
class CTreeIterator {
public:
    CTreeIterator() = default;  // the end cursor

    void Next();
    bool AtEnd() const { return *this == CTreeIterator(); }
    bool IsDirectory() const { return m_valid && m_position.m_subdirIndex >= 0; }
    const WIN32_FIND_DATAW* GetFindData() const;  // null at the end
    std::wstring GetFullPath() const;             // empty at the end
    std::wstring GetRelativePath() const;         // begins with a separator; empty at the end

    // Cursors are equal when tree, validity and directory index agree; positions are not compared.
    bool operator==(const CTreeIterator& other) const {
        return m_tree == other.m_tree && m_valid == other.m_valid && m_directoryIndex == other.m_directoryIndex;
    }
    bool operator!=(const CTreeIterator& other) const { return !(*this == other); }

    const CDirectoryTree* m_tree = nullptr;
    bool m_valid = false;
    CDirectoryIterator m_position;
    int m_directoryIndex = -1;
};

// The full 64-bit size of a find record.
inline unsigned long long RecordSize(const WIN32_FIND_DATAW& record) {
    return (static_cast<unsigned long long>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}
