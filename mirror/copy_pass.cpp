#include "mirror/passes.h"

#include <cstdint>
#include <cwchar>
#include <unordered_map>

#include "mirror/failure.h"
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

bool IsSameOrBelow(const std::wstring& path, const std::wstring& folder) {
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == twinfold::kPathSeparator);
}

twinfold::EntryDigest::Kind KindOf(const CTreeIterator& cursor) {
    if (twinfold::IsLinkRecord(cursor.Attributes(), cursor.ReparseTag())) return twinfold::EntryDigest::Kind::link;
    return cursor.IsDirectory() ? twinfold::EntryDigest::Kind::folder : twinfold::EntryDigest::Kind::other;
}

// What the snapshot holds below the folder `root`, whose own entries begin at `cursor`. The folders
// below one folder follow it in the walk, so the walk ahead stops at the first folder outside.
twinfold::EntryDigest SnapshotDigest(CTreeIterator cursor, const std::wstring& root) {
    twinfold::EntryDigest digest;
    const CDirectory* directory = nullptr;
    std::uint64_t folderHash = 0;
    for (; !cursor.AtEnd(); cursor.Next()) {
        if (cursor.Directory() != directory) {
            directory = cursor.Directory();
            const std::wstring& path = directory->Path();
            if (!IsSameOrBelow(path, root)) break;
            folderHash = 0;
            for (std::size_t start = root.size() + 1; start < path.size() + 1;) {
                std::size_t end = path.find(twinfold::kPathSeparator, start);
                if (end == std::wstring::npos) end = path.size();
                folderHash = twinfold::EntryDigest::PathHash(folderHash, path.data() + start, end - start);
                start = end + 1;
            }
        }
        const wchar_t* name = cursor.Name();
        digest.Add(twinfold::EntryDigest::PathHash(folderHash, name, std::wcslen(name)), KindOf(cursor), cursor.Size());
    }
    return digest;
}

// The folders this pass copied whole, with what each copy made. Once the walk comes to the entries
// of such a folder, it sums up what its snapshot holds below the folder; where that agrees with what
// the copy made, every entry there is in the destination just as the snapshot has it, and a lookup
// of each would only say so again.
class CopiedFolders {
public:
    // After `path` was copied whole: what the copy made, where the platform layer tells.
    void Copied(const std::wstring& path) {
        twinfold::EntryDigest made;
        if (twinfold::LastFolderCopyDigest(made)) m_made[path] = made;
    }

    // True when the cursor's entry lies below a folder copied whole that made what the snapshot holds.
    bool Answers(const CTreeIterator& cursor) {
        if (cursor.Directory() == m_directory) return m_answers;
        m_directory = cursor.Directory();
        const std::wstring& path = m_directory->Path();
        if (!m_matched.empty() && IsSameOrBelow(path, m_matched)) return m_answers = true;
        m_matched.clear();
        m_answers = false;
        const auto made = m_made.find(path);
        if (made == m_made.end()) return false;
        if (made->second == SnapshotDigest(cursor, path)) {
            m_matched = path;
            m_answers = true;
        }
        m_made.erase(made);
        return m_answers;
    }

private:
    std::unordered_map<std::wstring, twinfold::EntryDigest> m_made;  // copied, not yet come to
    const CDirectory* m_directory = nullptr;
    bool m_answers = false;
    std::wstring m_matched;  // the copied folder whose entries are being answered
};

// The destination entry that the copy of the cursor's entry made, as a lookup would find it.
CounterpartState AsCopied(const CTreeIterator& cursor) {
    CounterpartState state;
    state.found = true;
    state.attributes = cursor.Attributes();
    state.reparseTag = cursor.ReparseTag();
    state.size = cursor.Size();
    return state;
}

}  // namespace

bool ShellCopy(const std::wstring& src, const std::wstring& dst, Silent silent) {
    FILEOP_FLAGS flags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    if (silent == Silent::yes) flags |= FOF_SILENT;
    return RunShellOperation(FO_COPY, src, &dst, flags);
}

void CopyPass(const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent) {
    const twinfold::PassRoots roots(srcRoot, dstRoot);
    const std::wstring srcText(srcRoot);
    const std::wstring dstText(dstRoot);
    CounterpartLookups ahead(dstText);
    // In a destination that does not exist yet every answer would be "missing": none is made ahead.
    WIN32_FIND_DATAW dstRecord;
    const bool destinationExists = LookUpEntry(dstText, dstRecord);
    CDirectoryTree source(srcText, Recursion::yes, destinationExists ? ahead.Hook(srcText.size()) : ScanHook());
    // Noted now, as the cause: entries the walk meets later may fail only because of this gap.
    if (!source.Complete()) NoteFailure(FailedOperation::list, source.IncompletePath(), source.IncompleteError());
    std::wstring dstPath;
    // An answer made ahead holds until this pass changes something it could be about: a copy alters
    // its own folder (a case-insensitive destination may match a sibling's name to it), a folder
    // copied whole alters everything that comes below it or, by case, beside it.
    bool copiedFolder = false;
    const CDirectory* copiedIn = nullptr;
    CopiedFolders copiedWhole;
    for (CTreeIterator cursor = source.Begin(); !cursor.AtEnd(); cursor.Next()) {
        FormCounterpartPath(dstPath, dstText, cursor);
        const CDirectory* directory = cursor.Directory();
        CounterpartState counterpart;
        if (copiedWhole.Answers(cursor)) {
            counterpart = AsCopied(cursor);
        } else {
            const CounterpartState* madeAhead = copiedFolder || copiedIn == directory ? nullptr : ahead.Find(cursor);
            counterpart = madeAhead != nullptr ? *madeAhead : LookUpCounterpart(dstPath);
        }
        const bool link = twinfold::IsLinkRecord(cursor.Attributes(), cursor.ReparseTag());
        bool copied = false;
        bool ok = true;
        if (!counterpart.found) {
            // A link is made anew as a link, never followed: copying what it leads to could copy a
            // whole other tree, or loop.
            ok = link ? LandLink(cursor.GetFullPath(), dstPath, LinkLanding::missing)
                      : LandMissing(cursor.GetFullPath(), dstPath, silent);
            copied = true;
            if (cursor.IsDirectory() && !link) copiedFolder = true;
            if (ok && cursor.IsDirectory() && !link) copiedWhole.Copied(cursor.GetFullPath());
        } else if (link) {
            // Links are compared by what they say, not by size. A real folder where the source has a
            // link is left alone: replacing it would delete a whole tree that the copy pass must not.
            if (counterpart.IsLink() ? !SameLinkTarget(cursor.GetFullPath(), dstPath)
                                     : !(counterpart.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                ok = LandLink(cursor.GetFullPath(), dstPath, LinkLanding::replacing);
                copied = true;
            }
        } else if (cursor.IsDirectory() && counterpart.IsLink()) {
            // A link in the destination where the source has a folder: copying the folder's entries
            // through it would write outside the destination. A clash, like a file in that place.
            NoteRefusal(FailedOperation::copy, cursor.GetFullPath(), dstPath, L"the destination holds a link there");
            g_cancelRequested = true;
            return;
        } else if (!cursor.IsDirectory() && cursor.Size() != counterpart.size) {
            // Full 64-bit sizes: a file that changed by a multiple of 4 GiB is still replaced.
            ok = LandReplacement(cursor.GetFullPath(), dstPath);
            copied = true;
        }
        if (copied) copiedIn = directory;
        if (!ok) NoteFailure(FailedOperation::copy, cursor.GetFullPath(), dstPath);
        if (!ok) g_cancelRequested = true;
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (copied && g_cancelRequested) return;
    }
    // Entries of a folder that could not be listed were never compared: not a complete mirror.
    if (!source.Complete()) g_cancelRequested = true;
    if (!RootsStillPinned()) g_cancelRequested = true;
}
