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
        } else if (!cursor.IsDirectory() && RecordSize(*cursor.GetFindData()) != RecordSize(found)) {
            // Full 64-bit sizes: a file that changed by a multiple of 4 GiB is still replaced.
            ok = CopyFileW(cursor.GetFullPath().c_str(), dstPath.c_str(), FALSE) != FALSE;
            copied = true;
        }
        if (!ok) g_cancelRequested = true;
        // A cancel takes effect after a copy operation, never in the middle of one.
        if (copied && g_cancelRequested) return;
    }
}
