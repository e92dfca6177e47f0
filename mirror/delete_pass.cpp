#include <unordered_set>
#include <vector>

#include "mirror/lookahead.h"
#include "mirror/passes.h"
#include "mirror/roots.h"
#include "mirror/shell_op.h"
#include "tree/directory_tree.h"

namespace {

// Only these say that the entry is not there. Anything else (refused access, an I/O error, a network
// path that went away) says the source could not be read, and a pass that took it for "missing"
// would delete the user's mirror.
bool MeansNoSuchEntry(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// True when a folder above `path` (below the root) is in `folders`, those removed or to be removed:
// the shell takes `path` away with it.
bool RemovedWithAncestor(const std::wstring& path, size_t rootLength,
                         const std::unordered_set<std::wstring>& folders) {
    for (size_t end = path.rfind(twinfold::kPathSeparator); end != std::wstring::npos && end > rootLength;
         end = path.rfind(twinfold::kPathSeparator, end - 1)) {
        if (folders.count(path.substr(0, end)) != 0) return true;
    }
    return false;
}

}  // namespace

bool ShellDelete(const std::wstring& directory) {
    return RunShellOperation(FO_DELETE, directory, nullptr, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);
}

void DeletePass(const wchar_t* srcRoot, const wchar_t* dstRoot) {
    const twinfold::PassRoots roots(srcRoot, dstRoot);
    {
        // A source that lists nothing (missing, empty, unreachable) never empties the destination.
        CDirectoryTree guard(srcRoot, Recursion::no);
        if (guard.Begin().AtEnd()) {
            // Nothing listed because the listing failed is not an empty source: the pass did not run.
            if (!guard.Complete() || !RootsStillPinned()) g_cancelRequested = true;
            return;
        }
    }

    std::vector<std::wstring> files;
    std::vector<std::wstring> directories;
    bool destinationComplete = true;
    {
        const std::wstring srcText(srcRoot);
        const std::wstring dstText(dstRoot);
        // Nothing changes while the trees are compared, so every answer made ahead holds.
        CounterpartLookups ahead(srcText);
        CDirectoryTree destination(dstText, Recursion::yes, ahead.Hook(dstText.size()));
        destinationComplete = destination.Complete();
        std::wstring srcPath;
        for (CTreeIterator cursor = destination.Begin(); !cursor.AtEnd(); cursor.Next()) {
            const CounterpartState* madeAhead = ahead.Find(cursor);
            CounterpartState counterpart;
            if (madeAhead != nullptr) {
                counterpart = *madeAhead;
            } else {
                FormCounterpartPath(srcPath, srcText, cursor);
                counterpart = LookUpCounterpart(srcPath);
            }
            if (!counterpart.found) {
                if (!MeansNoSuchEntry(counterpart.error)) {
                    g_cancelRequested = true;
                    return;
                }
                (cursor.IsDirectory() ? directories : files).push_back(cursor.GetFullPath());
            }
            if (g_cancelRequested) return;  // nothing has been deleted yet
        }
    }

    if (!RootsStillPinned()) g_cancelRequested = true;
    if (g_cancelRequested) return;

    // A file inside a folder that goes too is left to that folder's removal, which walks by descriptor
    // and never follows a link. Deleting it by its full path would follow a folder on the way that was
    // swapped for a link since the comparison, and delete a file of the same name outside.
    const size_t rootLength = std::wstring(dstRoot).size();
    const std::unordered_set<std::wstring> doomed(directories.begin(), directories.end());
    for (const std::wstring& file : files) {
        if (RemovedWithAncestor(file, rootLength, doomed)) continue;
        if (!DeleteFileW(file.c_str())) g_cancelRequested = true;
        if (g_cancelRequested) return;
    }

    // A folder removed with its parent is gone by its own turn; that removal counts as done.
    std::unordered_set<std::wstring> removed;
    for (const std::wstring& directory : directories) {
        if (!RemovedWithAncestor(directory, rootLength, removed)) {
            if (!ShellDelete(directory)) g_cancelRequested = true;
            if (g_cancelRequested) return;
            removed.insert(directory);
        }
    }
    // Whatever the unlisted part of the destination holds was never compared: extras may remain.
    if (!destinationComplete) g_cancelRequested = true;
}
