// Helpers shared by the two passes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>

#include "platform/win32.h"
#include "tree/directory_tree.h"

// Looks up one entry by its path. True and `found` filled when its folder holds an entry of that
// name, or one whose name differs from it only in case (found.cFileName then says which); false
// otherwise, with the platform's reason left in GetLastError().
bool LookUpEntry(const std::wstring& path, WIN32_FIND_DATAW& found);

// The path of the current entry's counterpart in the other tree: that tree's root text followed
// directly by the entry's relative path (which begins with a separator). Reuses `out`'s storage.
inline void FormCounterpartPath(std::wstring& out, const std::wstring& otherRoot, const std::wstring& directoryPath,
                                std::size_t rootLength, const wchar_t* name) {
    // Every scanned directory's path begins with its tree's root exactly as given, so the entry's
    // relative path is the rest of its directory's path, a separator and its name.
    out.assign(otherRoot);
    out.append(directoryPath, std::min(rootLength, directoryPath.size()), std::wstring::npos);
    out.push_back(twinfold::kPathSeparator);
    out.append(name);
}
inline void FormCounterpartPath(std::wstring& out, const std::wstring& otherRoot, const CTreeIterator& entry) {
    out.assign(otherRoot);
    entry.AppendRelativePath(out);
}

// True when `path` is `folder` or lies below it, by their texts.
inline bool IsSameOrBelow(const std::wstring& path, const std::wstring& folder) {
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == twinfold::kPathSeparator);
}

// One shell file operation on a single path (`to` null for a delete), with no window owner.
// True only when the shell reports success and nothing was aborted.
bool RunShellOperation(UINT operation, const std::wstring& from, const std::wstring* to, FILEOP_FLAGS flags);

// Runs `change`, a rename over the destination entry `path` or its deletion. Windows refuses both for
// a read-only file; the user asked for the change all the same, so then the attribute is cleared,
// the change made again and, if it fails once more, the attribute put back. POSIX has no such
// attribute: a file's own mode does not guard its name.
bool EvenIfReadOnly(const std::wstring& path, const std::function<bool()>& change);

// Whether a pass leaves out the folders Windows keeps at a volume's root: on both sides at once, when
// either root is a volume's root, so that both passes and the check that follows agree on what the
// trees hold. (Both roots in the form the pass works with.)
VolumeFolders VolumeFoldersOf(const std::wstring& srcRoot, const std::wstring& dstRoot);
