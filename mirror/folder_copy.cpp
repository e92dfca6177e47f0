#include "mirror/folder_copy.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "mirror/landing.h"
#include "mirror/lookahead.h"
#include "mirror/run.h"
#include "mirror/shell_op.h"

#ifdef _WIN32
namespace {

// Calls `visit(cursor, relative)` for every entry the snapshot holds below the folder entry `folder`,
// in walking order; `relative` is the entry's path below the folder, beginning with a separator.
// A folder below that could not be read to its end is passed over with everything in it: a copy
// leaves it out, and the run fails for it. Stops, returning false, where `visit` returns false.
template <class Visit>
bool ForEachBelow(const CTreeIterator& folder, Visit visit) {
    const std::wstring folderPath = folder.GetFullPath();
    std::wstring relative;
    std::unordered_set<std::wstring> unreadable;
    std::wstring passingOver;  // the unreadable folder whose entries are being passed over
    const CDirectory* directory = nullptr;
    for (CTreeIterator cursor = folder.Inside(); !cursor.AtEnd(); cursor.Next()) {
        const std::wstring& path = cursor.Directory()->Path();
        if (!IsSameOrBelow(path, folderPath)) break;
        if (cursor.Directory() != directory) {
            directory = cursor.Directory();
            if (passingOver.empty() || !IsSameOrBelow(path, passingOver)) {
                passingOver = unreadable.count(path) != 0 ? path : std::wstring();
            }
        }
        if (!passingOver.empty()) continue;
        if (cursor.IsUnreadable()) {
            unreadable.insert(cursor.GetFullPath());
            continue;
        }
        relative.assign(path, folderPath.size(), std::wstring::npos);
        relative.push_back(twinfold::kPathSeparator);
        relative.append(cursor.Name());
        if (!visit(cursor, relative)) return false;
    }
    return true;
}

// The shell's limit for the folders it creates (MAX_PATH less room for an 8.3 name), taken for
// every path it is given.
constexpr std::size_t kShellLimit = MAX_PATH - 12;
// A temporary name: the prefix and twelve hex digits (see twinfold::TemporaryName).
constexpr std::size_t kTemporaryNameLength = sizeof twinfold::kTemporaryPrefix / sizeof(wchar_t) - 1 + 12;

bool SameIgnoringCase(const wchar_t* a, std::size_t length, const wchar_t* b) {
    return CompareStringOrdinal(a, static_cast<int>(length), b, -1, TRUE) == CSTR_EQUAL;
}

// False for a name that the ordinary form of a path changes: Windows drops a final dot or space and
// takes CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 (also with an extension) for devices.
bool OrdinaryFormKeeps(const wchar_t* name, std::size_t length) {
    if (length == 0 || name[length - 1] == L'.' || name[length - 1] == L' ') return false;
    std::size_t base = 0;
    while (base < length && name[base] != L'.') ++base;
    while (base > 0 && name[base - 1] == L' ') --base;
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
        if (SameIgnoringCase(name, base, device)) return false;
    }
    if (base == 4 && (SameIgnoringCase(name, 3, L"COM") || SameIgnoringCase(name, 3, L"LPT"))) {
        const wchar_t digit = name[3];
        if ((digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) return false;
    }
    return true;
}

// True when every name of the ordinary path `path` (below its drive or share) means in the ordinary
// form what it means in the long form.
bool OrdinaryFormKeepsAll(const std::wstring& path) {
    std::size_t start = path.compare(0, 2, L"\\\\") == 0 ? 2 : 0;
    while (start < path.size()) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        const bool drive = end - start == 2 && path[start + 1] == L':';
        if (!drive && end > start && !OrdinaryFormKeeps(path.data() + start, end - start)) return false;
        start = end + 1;
    }
    return true;
}

// Whether the shell's copy of `entry` from `src` to a temporary name beside `dst` (both in the long
// form) would copy exactly what the snapshot holds.
bool ShellCanCopy(const CTreeIterator& entry, const std::wstring& src, const std::wstring& dst, ShellCopies shell) {
    // Nor can the shell leave out a folder below that could not be read.
    if (shell == ShellCopies::never || entry.HasUnreadableBelow()) return false;
    const std::wstring source = twinfold::WithoutLongForm(src);
    const std::wstring target = twinfold::WithoutLongForm(dst);
    if (!OrdinaryFormKeepsAll(source) || !OrdinaryFormKeepsAll(target)) return false;
    std::size_t longestBelow = 0;
    if (entry.IsDirectory()) {
        const bool plain = ForEachBelow(entry, [&](const CTreeIterator& below, const std::wstring& relative) {
            longestBelow = std::max(longestBelow, relative.size());
            // The shell would copy what a link leads to instead of the link.
            return !twinfold::IsLinkRecord(below.Attributes(), below.ReparseTag()) &&
                   OrdinaryFormKeeps(below.Name(), std::wcslen(below.Name()));
        });
        if (!plain) return false;
    }
    const std::size_t temporaryLength = target.rfind(L'\\') + 1 + kTemporaryNameLength;
    return source.size() + longestBelow < kShellLimit && temporaryLength + longestBelow < kShellLimit &&
           target.size() < kShellLimit;
}

constexpr DWORD kFolderAttributesKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

bool MakeFolder(const std::wstring& path, DWORD sourceAttributes) {
    if (!CreateDirectoryW(path.c_str(), nullptr)) return false;
    if (sourceAttributes & kFolderAttributesKept) SetFileAttributesW(path.c_str(), sourceAttributes & kFolderAttributesKept);
    return true;
}

// The engine's own copy of a folder, from the snapshot: each folder made, each file copied with
// CopyFileW, each link made anew as a link. `failedAt` names the source entry where it failed.
Made CopyByWalk(const CTreeIterator& folder, const std::wstring& temporary, std::wstring& failedAt) {
    failedAt.clear();
    bool made = MakeFolder(temporary, folder.Attributes());
    if (!made && (GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_FILE_NOT_FOUND)) {
        made = CreateParentFolders(temporary) && MakeFolder(temporary, folder.Attributes());
    }
    if (!made) return MadeBy(false);
    std::wstring target;
    const bool copied = ForEachBelow(folder, [&](const CTreeIterator& below, const std::wstring& relative) {
        if (g_cancelRequested) {
            SetLastError(ERROR_CANCELLED);
            return false;
        }
        target.assign(temporary).append(relative);
        const std::wstring source = below.GetFullPath();
        bool copied = false;
        if (twinfold::IsLinkRecord(below.Attributes(), below.ReparseTag())) {
            copied = twinfold::CopyLink(source, target);
        } else if (below.IsDirectory()) {
            copied = MakeFolder(target, below.Attributes());
        } else {
            copied = CopyFileW(source.c_str(), target.c_str(), TRUE) != FALSE;
        }
        if (!copied) failedAt = source;
        return copied;
    });
    // Inside the new folder a name that is taken is the source's own clash, never a reason to retry.
    return copied ? Made::done : Made::failed;
}

struct CopiedEntry {
    twinfold::EntryKind kind;
    unsigned long long size;
};

// Compares the copy at `copy` (long form) with what the snapshot holds below `folder`: every entry
// of the snapshot must be there, of the same kind, a file of the same size. Where one is not, the
// source is asked again: an entry that has since gone from the source, or changed just as the copy
// has, is no fault of the copy. False with the source entry that differs in `differing` (empty when
// the copy itself could not be listed to its end).
bool CopyHoldsSnapshot(const CTreeIterator& folder, const std::wstring& copy, std::wstring& differing) {
    differing.clear();
    std::unordered_map<std::wstring, CopiedEntry> copied;
    {
        CDirectoryTree listing(copy, Recursion::yes);
        if (!listing.Complete()) return false;
        std::wstring relative;
        for (CTreeIterator cursor = listing.Begin(); !cursor.AtEnd(); cursor.Next()) {
            relative.clear();
            cursor.AppendRelativePath(relative);
            copied.emplace(relative, CopiedEntry{cursor.Kind(), cursor.Size()});
        }
    }
    const auto same = [](const CopiedEntry& entry, twinfold::EntryKind kind, unsigned long long size) {
        return entry.kind == kind && (kind != twinfold::EntryKind::file || entry.size == size);
    };
    return ForEachBelow(folder, [&](const CTreeIterator& below, const std::wstring& relative) {
        const auto found = copied.find(relative);
        if (found != copied.end() && same(found->second, below.Kind(), below.Size())) return true;
        const CounterpartState now = LookUpCounterpart(below.GetFullPath());
        const bool gone = !now.found && (now.error.code == ERROR_FILE_NOT_FOUND || now.error.code == ERROR_PATH_NOT_FOUND);
        if (found == copied.end() ? gone
                                  : now.found && same(found->second, now.Kind(), now.size)) {
            return true;
        }
        differing = below.GetFullPath();
        return false;
    });
}

}  // namespace
#endif

MaybeFailure LandMissingEntry(const CTreeIterator& entry, const std::wstring& dst, Silent silent, ShellCopies shell) {
    const std::wstring src = entry.GetFullPath();
#ifdef _WIN32
    // The shell is given ordinary paths; a failure names the entry as the pass knows it.
    const auto asThePassNamesIt = [&](MaybeFailure failure) {
        if (failure) {
            failure->path = src;
            failure->target = dst;
        }
        return failure;
    };
    const bool useShell = ShellCanCopy(entry, src, dst, shell);
    if (!entry.IsDirectory()) {
        if (!useShell) return LandMissingFile(src, dst);
        return asThePassNamesIt(LandMissing(twinfold::WithoutLongForm(src), twinfold::WithoutLongForm(dst), silent));
    }
    std::wstring temporary;
    if (useShell) {
        MaybeFailure failure = PrepareCopy(twinfold::WithoutLongForm(src), twinfold::WithoutLongForm(dst),
                                           Landing::missing, silent, temporary);
        if (failure) return asThePassNamesIt(std::move(failure));
        temporary = twinfold::LongFormRoot(temporary);
    } else {
        std::wstring failedAt;
        const StepError error = PrepareTemporary(
            dst, [&](const std::wstring& name) { return CopyByWalk(entry, name, failedAt); }, temporary);
        if (error) {
            RunFailure failure = SystemFailure(FailedOperation::copy, src, dst, *error);
            failure.at = failedAt;
            return failure;
        }
    }
    std::wstring differing;
    if (!CopyHoldsSnapshot(entry, temporary, differing)) {
        DiscardPrepared(temporary);
        return Refusal(FailedOperation::copy, src, dst,
                       differing.empty() ? L"its copy could not be listed to its end"
                                         : L"its copy lacks '" + differing + L"' as the source has it");
    }
    return PlacePrepared(src, temporary, dst, Landing::missing);
#else
    (void)shell;
    // The POSIX layer's copy takes any path, copies links as links and fails on the first entry it
    // cannot copy, so it can do every such job itself; told to, it leaves out the folders below that
    // could not be read.
    std::optional<twinfold::UnreadableFoldersLeftOut> leftOut;
    if (entry.HasUnreadableBelow()) leftOut.emplace();
    return LandMissing(src, dst, silent);
#endif
}
