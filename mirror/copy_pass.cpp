#include "mirror/passes.h"

#include "mirror/copies_ahead.h"
#include "mirror/failure.h"
#include "mirror/folder_copy.h"
#include "mirror/landing.h"
#include "mirror/lookahead.h"
#include "mirror/roots.h"
#include "mirror/shell_op.h"
#include "tree/directory_tree.h"

std::atomic<bool> g_cancelRequested{false};

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
// names differ otherwise (a short 8.3 alias), the destination cannot hold what the source does: false,
// with the failure noted.
bool TakeSourceName(const CTreeIterator& cursor, const std::wstring& dstPath, const std::wstring& otherName) {
    const std::wstring name = cursor.Name();
    std::wstring held = dstPath.substr(0, dstPath.size() - name.size());
    held.append(otherName);
    if (DirectoryHolds(cursor, otherName) || !twinfold::SameNameIgnoringCase(name, otherName)) {
        NoteRefusal(FailedOperation::copy, cursor.GetFullPath(), dstPath,
                    L"the destination takes '" + name + L"' and '" + otherName +
                        L"' for one name, so it cannot hold what the source holds under these names");
        return false;
    }
    if (RenameInPlace(held, dstPath)) return true;
    NoteFailure(FailedOperation::rename, held, dstPath);
    return false;
}

}  // namespace

bool ShellCopy(const std::wstring& src, const std::wstring& dst, Silent silent) {
    FILEOP_FLAGS flags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    if (silent == Silent::yes) flags |= FOF_SILENT;
    return RunShellOperation(FO_COPY, src, &dst, flags);
}

void CopyPass(const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent) {
    const twinfold::PassRoots roots(srcRoot, dstRoot);
    const std::wstring srcText = twinfold::LongFormRoot(srcRoot);
    const std::wstring dstText = twinfold::LongFormRoot(dstRoot);
    const ShellCopies shell =
        twinfold::IsLongForm(srcRoot) || twinfold::IsLongForm(dstRoot) ? ShellCopies::never : ShellCopies::allowed;
    CounterpartLookups ahead(dstText);
    // In a destination that does not exist yet every answer would be "missing": none is made ahead.
    WIN32_FIND_DATAW dstRecord;
    const bool destinationExists = LookUpEntry(dstText, dstRecord);
    ScanHook hook = destinationExists ? ahead.Hook(srcText.size()) : ScanHook();
    // Where answers are made ahead, the file copies they call for are made ahead too, on other
    // threads, and put into place in walking order (see CopiesAhead).
    CopiesAhead copies(static_cast<bool>(hook), silent);
    CDirectoryTree source(srcText, Recursion::yes, std::move(hook), Detail::full, VolumeFoldersOf(srcText, dstText));
    // Noted now, as the cause: entries the walk meets later may fail only because of this gap.
    if (!source.Complete()) NoteFailure(FailedOperation::list, source.IncompletePath(), source.IncompleteError());
    std::wstring dstPath;
    // An answer made ahead holds until this pass changes something it could be about (see
    // StaleAnswers); below a folder copied whole, what the copy made may answer instead.
    StaleAnswers stale;
    CopiedFolders copiedWhole;
    for (CTreeIterator cursor = source.Begin(); !cursor.AtEnd(); cursor.Next()) {
        FormCounterpartPath(dstPath, dstText, cursor);
        const bool mayBeStale = stale.MayBeStale(cursor);
        CounterpartState counterpart;
        if (copiedWhole.Answers(cursor)) {
            counterpart = AsCopied(cursor);
        } else if (mayBeStale || !ahead.Find(cursor, counterpart)) {
            // A lookup made now must find every copy before it in place.
            if (!copies.Place(0)) return;
            counterpart = LookUpCounterpart(dstPath);
        }
        if (counterpart.found && !counterpart.otherName.empty()) {
            if (!TakeSourceName(cursor, dstPath, counterpart.otherName)) {
                g_cancelRequested = true;
                return;
            }
            stale.Copied(cursor);
        }
        const Step step = Decide(cursor, counterpart, dstPath);
        if (step == Step::nothing) continue;
        const twinfold::EntryKind kind = cursor.Kind();
        // A folder none of which could be read is not copied: an empty copy would pass for all of it.
        // The run fails at the end, naming the first such folder.
        if (step == Step::copyMissing && cursor.IsUnreadable() && cursor.Inside().AtEnd()) continue;
        if (copies.Enabled() && kind == twinfold::EntryKind::file && step != Step::clash) {
            const FileLanding landing = counterpart.found ? FileLanding::replacing : FileLanding::missing;
            copies.Add(cursor.GetFullPath(), dstPath, landing);
            stale.Copied(cursor);
            if (!copies.Place(CopiesAhead::kMostWaiting)) return;
            // The copies begun are seen through, as a pass copying one at a time sees its copy through.
            if (g_cancelRequested) {
                copies.Place(0);
                return;
            }
            continue;
        }
        // Anything but a file copy made ahead waits until every earlier copy is in place.
        if (!copies.Place(0)) return;
        if (step == Step::clash) {
            NoteRefusal(FailedOperation::copy, cursor.GetFullPath(), dstPath,
                        std::wstring(L"the destination holds ") + Naming(counterpart.Kind()) + L" there");
            g_cancelRequested = true;
            return;
        }
        bool ok = true;
        const bool link = kind == twinfold::EntryKind::link;
        if (step == Step::copyMissing) {
            // A link is made anew as a link, never followed: copying what it leads to could copy a
            // whole other tree, or loop.
            if (link) {
                ok = LandLink(cursor.GetFullPath(), dstPath, LinkLanding::missing);
            } else {
                ok = LandMissingEntry(cursor, dstPath, silent, shell);  // notes its own failure
                if (ok && cursor.IsDirectory()) copiedWhole.Copied(cursor.GetFullPath());
            }
        } else {
            ok = link ? LandLink(cursor.GetFullPath(), dstPath, LinkLanding::replacing)
                      : LandReplacement(cursor.GetFullPath(), dstPath);
        }
        stale.Copied(cursor);
        // A copy the user cancelled is no failure to report.
        if (!ok && !g_cancelRequested) NoteFailure(FailedOperation::copy, cursor.GetFullPath(), dstPath);
        if (!ok) g_cancelRequested = true;
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (g_cancelRequested) return;
    }
    if (!copies.Place(0)) return;
    // Entries of a folder that could not be listed were never compared: not a complete mirror.
    if (!source.Complete()) g_cancelRequested = true;
    if (!RootsStillPinned()) g_cancelRequested = true;
}
