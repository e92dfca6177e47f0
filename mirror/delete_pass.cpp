#include <unordered_set>
#include <vector>

#include "mirror/folder_removal.h"
#include "mirror/lookahead.h"
#include "mirror/passes.h"
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

// True when the folder of the destination entry `path` holds an entry named exactly `name`, not
// merely one its file system takes for that name (such as `path` itself).
bool HoldsOnItsOwn(const std::wstring& path, const std::wstring& name) {
    const std::wstring sibling = path.substr(0, path.rfind(twinfold::kPathSeparator) + 1) + name;
    const CounterpartState found = LookUpCounterpart(sibling);
    return found.found && found.otherName.empty();
}

}  // namespace


void DeletePass(RunContext& run, const wchar_t* srcRoot, const wchar_t* dstRoot) {
    const twinfold::PassRoots roots(srcRoot, dstRoot);
    const std::wstring srcText = twinfold::LongFormRoot(srcRoot);
    const std::wstring dstText = twinfold::LongFormRoot(dstRoot);
    const VolumeFolders volumeFolders = VolumeFoldersOf(srcText, dstText);
    {
        // A source that lists nothing (missing, empty, unreachable) never empties the destination.
        CDirectoryTree guard(srcText, Recursion::no, nullptr, Detail::kinds, volumeFolders);
        if (guard.Begin().AtEnd()) {
            // Nothing listed because the listing failed is not an empty source: the pass did not run.
            if (!guard.Complete()) {
                return run.Fail(SystemFailure(FailedOperation::list, guard.IncompletePath(), std::wstring(),
                                              guard.IncompleteError()));
            }
            run.RootsStillPinned();
            return;
        }
    }

    std::vector<std::wstring> files;
    std::vector<std::wstring> directories;
    {
        // Nothing changes while the trees are compared, so every answer made ahead holds. Of either
        // tree the pass reads only names and kinds, never a size.
        CounterpartLookups ahead(srcText, Detail::kinds);
        CDirectoryTree destination(dstText, Recursion::yes, ahead.Hook(dstText.size()), Detail::kinds, volumeFolders);
        // A destination folder that could not be listed to its end was never compared: the pass deletes
        // nothing in a run that cannot see the whole destination, as in one that cannot see the source.
        if (!destination.Complete()) {
            return run.Fail(SystemFailure(FailedOperation::list, destination.IncompletePath(), std::wstring(),
                                          destination.IncompleteError()));
        }
        std::wstring srcPath;
        // Real folders of the destination where the source has a link (a folder replaced by one), and
        // the folders below them: a link is never entered, so the source has nothing below that name.
        // Their entries are missing without a lookup, which would have had to go through the link.
        std::unordered_set<std::wstring> belowSourceLink;
        const CDirectory* directory = nullptr;
        bool directoryBelowLink = false;
        for (CTreeIterator cursor = destination.Begin(); !cursor.AtEnd(); cursor.Next()) {
            if (cursor.Directory() != directory) {
                directory = cursor.Directory();
                directoryBelowLink = belowSourceLink.count(directory->Path()) != 0;
            }
            CounterpartState counterpart;
            if (directoryBelowLink) {
                counterpart.error.code = ERROR_PATH_NOT_FOUND;
            } else if (!ahead.Find(cursor, counterpart)) {
                FormCounterpartPath(srcPath, srcText, cursor);
                counterpart = LookUpCounterpart(srcPath);
            }
            if (counterpart.found && !counterpart.otherName.empty() &&
                HoldsOnItsOwn(cursor.GetFullPath(), counterpart.otherName)) {
                // The source holds this entry only under a name that its file system takes for this
                // one, and the destination holds that name as an entry of its own: this one is extra.
                (cursor.IsDirectory() ? directories : files).push_back(cursor.GetFullPath());
            }
            const bool realFolder =
                cursor.IsDirectory() && !twinfold::IsLinkRecord(cursor.Attributes(), cursor.ReparseTag());
            if (realFolder && (directoryBelowLink || counterpart.IsLink())) {
                belowSourceLink.insert(cursor.GetFullPath());
            }
            if (!counterpart.found) {
                FormCounterpartPath(srcPath, srcText, cursor);
                // "Not found" for a path the call could not even address says nothing of the source.
                if (!MeansNoSuchEntry(counterpart.error.code) || !twinfold::CanAddress(srcPath)) {
                    return run.Fail(SystemFailure(FailedOperation::lookUp, srcPath, std::wstring(), counterpart.error));
                }
                (cursor.IsDirectory() ? directories : files).push_back(cursor.GetFullPath());
            }
            if (run.Stopping()) return;  // nothing has been deleted yet
        }
    }

    if (!run.RootsStillPinned() || run.Stopping()) return;

    // A file inside a folder that goes too is left to that folder's removal, which walks by descriptor
    // and never follows a link. Deleting it by its full path would follow a folder on the way that was
    // swapped for a link since the comparison, and delete a file of the same name outside.
    const size_t rootLength = dstText.size();
    const std::unordered_set<std::wstring> doomed(directories.begin(), directories.end());
    for (const std::wstring& file : files) {
        if (RemovedWithAncestor(file, rootLength, doomed)) continue;
        const bool deleted = EvenIfReadOnly(file, [&] { return DeleteFileW(file.c_str()) != FALSE; });
        if (!deleted) return run.Fail(SystemFailure(FailedOperation::remove, file));
        if (run.Stopping()) return;
    }

    // A folder removed with its parent is gone by its own turn; that removal counts as done.
    std::unordered_set<std::wstring> removed;
    for (const std::wstring& directory : directories) {
        if (!RemovedWithAncestor(directory, rootLength, removed)) {
            if (!RemoveFolder(directory)) return run.Fail(SystemFailure(FailedOperation::remove, directory));
            if (run.Stopping()) return;
            removed.insert(directory);
        }
    }
}
