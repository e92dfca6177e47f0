#include "mirror/passes.h"

#include "mirror/destination_view.h"
#include "mirror/folder_copy.h"
#include "mirror/shell_op.h"
#include "tree/directory_tree.h"

namespace {

// True when both links say the same; a link that cannot be read is taken as different, so that the
// copy that follows reports the reason.
bool SameLinkTarget(const std::wstring& src, const std::wstring& dst) {
    twinfold::LinkTarget a, b;
    return twinfold::ReadLinkTarget(src, a) && twinfold::ReadLinkTarget(dst, b) && a == b;
}

// What the copy pass does for one source entry, given what the destination holds in its place.
enum class Step {
    nothing,      // the destination entry stands for the source's
    copyMissing,  // nothing there: the entry is copied (a folder with everything in it)
    replace,      // another file, link, FIFO, socket or device there: replaced in one rename
    clash,        // a folder against anything else: the pass will not delete a tree, nor write through a link
};

const wchar_t* Naming(twinfold::EntryKind kind) {
    switch (kind) {
        case twinfold::EntryKind::folder: return L"a folder";
        case twinfold::EntryKind::link: return L"a link";
        case twinfold::EntryKind::fifo: return L"a FIFO";
        case twinfold::EntryKind::socket: return L"a socket";
        case twinfold::EntryKind::characterDevice:
        case twinfold::EntryKind::blockDevice: return L"a device";
        case twinfold::EntryKind::file: break;
    }
    return L"a file";
}

// Kinds are compared before anything else: a link whose target is as long as a file, or an empty
// file where the source has a FIFO, is another entry all the same. A real folder where the source
// has a link is left alone: replacing it would delete a whole tree, which the copy pass never does.
Step Decide(const CTreeIterator& entry, const CounterpartState& there, const std::wstring& dstPath) {
    using twinfold::EntryKind;
    if (!there.found) return Step::copyMissing;
    const EntryKind kind = entry.Kind();
    const EntryKind held = there.Kind();
    if (kind == EntryKind::folder || held == EntryKind::folder) {
        if (kind == held || kind == EntryKind::link) return Step::nothing;
        return Step::clash;
    }
    if (kind != held) return Step::replace;
    switch (kind) {
        case EntryKind::link: return SameLinkTarget(entry.GetFullPath(), dstPath) ? Step::nothing : Step::replace;
        // Full 64-bit sizes: a file that changed by a multiple of 4 GiB is still replaced.
        case EntryKind::file: return entry.Size() != there.size ? Step::replace : Step::nothing;
        case EntryKind::characterDevice:
        case EntryKind::blockDevice: return entry.Device() != there.device ? Step::replace : Step::nothing;
        default: return Step::nothing;
    }
}

// True when the cursor's directory holds an entry named exactly `name`.
bool DirectoryHolds(const CTreeIterator& cursor, const std::wstring& name) {
    const CDirectory& directory = *cursor.Directory();
    for (std::size_t i = 0; i < directory.Count(); ++i) {
        if (name == directory.Name(i)) return true;
    }
    return false;
}

// The destination's file system found the cursor's entry under another name that it takes for the
// same one. Where the two differ only in case, the destination entry is renamed to the source's name,
// in place: nothing is copied or deleted. Where the source folder holds that other name too, or the
// names differ otherwise (a short 8.3 alias), the destination cannot hold what the source does.
MaybeFailure TakeSourceName(const CTreeIterator& cursor, const std::wstring& dstPath, const std::wstring& otherName) {
    const std::wstring name = cursor.Name();
    std::wstring held = dstPath.substr(0, dstPath.size() - name.size());
    held.append(otherName);
    if (DirectoryHolds(cursor, otherName) || !twinfold::SameNameIgnoringCase(name, otherName)) {
        return Refusal(FailedOperation::copy, cursor.GetFullPath(), dstPath,
                       L"the destination takes '" + name + L"' and '" + otherName +
                           L"' for one name, so it cannot hold what the source holds under these names");
    }
    return RenameInPlace(held, dstPath);
}

// Brings the cursor's entry into the destination at `dstPath`, as `step` says.
MaybeFailure Land(Step step, const CTreeIterator& cursor, const std::wstring& dstPath, Silent silent,
                  ShellCopies shell) {
    // A link is made anew as a link, never followed: copying what it leads to could copy a whole
    // other tree, or loop.
    const bool link = cursor.Kind() == twinfold::EntryKind::link;
    if (step == Step::copyMissing) {
        return link ? LandLink(cursor.GetFullPath(), dstPath, Landing::missing)
                    : LandMissingEntry(cursor, dstPath, silent, shell);
    }
    return link ? LandLink(cursor.GetFullPath(), dstPath, Landing::replacing)
                : LandReplacement(cursor.GetFullPath(), dstPath);
}

}  // namespace

void CopyPass(RunContext& run, const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent) {
    const twinfold::PassRoots roots(srcRoot, dstRoot);
    const std::wstring srcText = twinfold::LongFormRoot(srcRoot);
    const std::wstring dstText = twinfold::LongFormRoot(dstRoot);
    const ShellCopies shell =
        twinfold::IsLongForm(srcRoot) || twinfold::IsLongForm(dstRoot) ? ShellCopies::never : ShellCopies::allowed;
    DestinationView destination(run, dstText, srcText.size(), silent);
    CDirectoryTree source(srcText, Recursion::yes, destination.Hook(), Detail::full, VolumeFoldersOf(srcText, dstText));
    // Kept now, as the cause: entries the walk meets later may fail only because of this gap. The walk
    // still copies everything that could be listed, and the run fails at its end.
    const auto unlisted = [&source] {
        return SystemFailure(FailedOperation::list, source.IncompletePath(), std::wstring(), source.IncompleteError());
    };
    if (!source.Complete()) run.FailLater(unlisted());
    std::wstring dstPath;
    bool landedOne = false;
    for (CTreeIterator cursor = source.Begin(); !cursor.AtEnd(); cursor.Next()) {
        FormCounterpartPath(dstPath, dstText, cursor);
        CounterpartState there;
        if (!destination.At(cursor, dstPath, there)) return;
        if (there.found && !there.otherName.empty()) {
            MaybeFailure failure = TakeSourceName(cursor, dstPath, there.otherName);
            destination.Landed(cursor, false);
            if (failure) return run.Fail(std::move(*failure));
        }
        const Step step = Decide(cursor, there, dstPath);
        if (step == Step::nothing) continue;
        // A folder none of which could be read is not copied: an empty copy would pass for all of it.
        if (step == Step::copyMissing && cursor.IsUnreadable() && cursor.Inside().AtEnd()) continue;
        if (destination.CopiesFilesAhead() && cursor.Kind() == twinfold::EntryKind::file && step != Step::clash) {
            if (!destination.CopyAhead(cursor, dstPath, there.found ? Landing::replacing : Landing::missing)) {
                return;
            }
            // The copies begun are seen through, as a pass copying one at a time sees its copy through.
            if (run.Stopping()) {
                destination.Settle();
                return;
            }
            continue;
        }
        if (!destination.Settle()) return;
        if (step == Step::clash) {
            return run.Fail(Refusal(FailedOperation::copy, cursor.GetFullPath(), dstPath,
                                    std::wstring(L"the destination holds ") + Naming(there.Kind()) + L" there"));
        }
        MaybeFailure failure = Land(step, cursor, dstPath, silent, shell);
        destination.Landed(cursor, !failure && step == Step::copyMissing && cursor.Kind() == twinfold::EntryKind::folder);
        // A copy the user cancelled is no failure to report.
        if (failure && !run.Stopping()) run.Fail(std::move(*failure));
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (failure || run.Stopping()) return;
        // A destination that the first landing made is pinned now: replaced later, it fails the run.
        if (!landedOne && !run.RootsStillPinned()) return;
        landedOne = true;
    }
    if (!destination.Settle()) return;
    // Entries of a folder that could not be listed were never compared: not a complete mirror.
    if (!source.Complete()) return run.Fail(unlisted());
    run.RootsStillPinned();
}
