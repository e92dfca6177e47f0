// Helpers shared by the two passes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/win32.h"
#include "tree/directory_tree.h"

// Looks up one entry by its path. True and `found` filled when it exists; false otherwise, with the
// platform's reason left in GetLastError().
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

// One shell file operation on a single path (`to` null for a delete), with no window owner.
// True only when the shell reports success and nothing was aborted.
bool RunShellOperation(UINT operation, const std::wstring& from, const std::wstring* to, FILEOP_FLAGS flags);
