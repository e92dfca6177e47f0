#include "mirror/passes.h"

#include "mirror/shell_op.h"
#include "tree/directory_tree.h"

std::atomic<bool> g_cancelRequested{false};

bool ShellCopy(const std::wstring& src, const std::wstring& dst, Silent silent) {
    FILEOP_FLAGS flags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    if (silent == Silent::yes) flags |= FOF_SILENT;
    return RunShellOperation(FO_COPY, src, &dst, flags);
}

void CopyPass(const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent) {
    const std::wstring dstText(dstRoot);
    CDirectoryTree source(srcRoot, Recursion::yes);
    WIN32_FIND_DATAW found;
    std::wstring dstPath;
    for (CTreeIterator cursor = source.Begin(); !cursor.AtEnd(); cursor.Next()) {
        FormCounterpartPath(dstPath, dstText, cursor.GetRelativePath());
        bool copied = false;
        bool ok = true;
        if (!LookUpEntry(dstPath, found)) {
            ok = ShellCopy(cursor.GetFullPath(), dstPath, silent);
            copied = true;
        } else if (cursor.IsDirectory() && !(cursor.GetFindData()->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                   (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // A link in the destination where the source has a folder: copying the folder's entries
            // through it would write outside the destination. A clash, like a file in that place.
            g_cancelRequested = true;
            return;
        } else if (!cursor.IsDirectory() && RecordSize(*cursor.GetFindData()) != RecordSize(found)) {
            // Full 64-bit sizes: a file that changed by a multiple of 4 GiB is still replaced.
            ok = CopyFileW(cursor.GetFullPath().c_str(), dstPath.c_str(), FALSE) != FALSE;
            copied = true;
        }
        if (!ok) g_cancelRequested = true;
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (copied && g_cancelRequested) return;
    }
    // Entries of a folder that could not be listed were never compared: not a complete mirror.
    if (!source.Complete()) g_cancelRequested = true;
}
