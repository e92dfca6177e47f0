#include "mirror/passes.h"

#include "mirror/lookahead.h"
#include "mirror/roots.h"
#include "mirror/shell_op.h"
#include "tree/directory_tree.h"

std::atomic<bool> g_cancelRequested{false};

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
    CDirectoryTree source(srcText, Recursion::yes, ahead.Hook(srcText.size()));
    std::wstring dstPath;
    // An answer made ahead holds until this pass changes something it could be about: a copy alters
    // its own folder (a case-insensitive destination may match a sibling's name to it), a folder
    // copied whole alters everything that comes below it or, by case, beside it.
    bool copiedFolder = false;
    const CDirectory* copiedIn = nullptr;
    for (CTreeIterator cursor = source.Begin(); !cursor.AtEnd(); cursor.Next()) {
        FormCounterpartPath(dstPath, dstText, cursor);
        const CDirectory* directory = cursor.m_position.m_directory;
        const CounterpartState* madeAhead = copiedFolder || copiedIn == directory ? nullptr : ahead.Find(cursor);
        const CounterpartState counterpart = madeAhead != nullptr ? *madeAhead : LookUpCounterpart(dstPath);
        bool copied = false;
        bool ok = true;
        if (!counterpart.found) {
            ok = ShellCopy(cursor.GetFullPath(), dstPath, silent);
            copied = true;
            if (cursor.IsDirectory()) copiedFolder = true;
        } else if (cursor.IsDirectory() && !(cursor.GetFindData()->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                   (counterpart.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // A link in the destination where the source has a folder: copying the folder's entries
            // through it would write outside the destination. A clash, like a file in that place.
            g_cancelRequested = true;
            return;
        } else if (!cursor.IsDirectory() && RecordSize(*cursor.GetFindData()) != counterpart.size) {
            // Full 64-bit sizes: a file that changed by a multiple of 4 GiB is still replaced.
            ok = CopyFileW(cursor.GetFullPath().c_str(), dstPath.c_str(), FALSE) != FALSE;
            copied = true;
        }
        if (copied) copiedIn = directory;
        if (!ok) g_cancelRequested = true;
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (copied && g_cancelRequested) return;
    }
    // Entries of a folder that could not be listed were never compared: not a complete mirror.
    if (!source.Complete()) g_cancelRequested = true;
    if (!RootsStillPinned()) g_cancelRequested = true;
}
