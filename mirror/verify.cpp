#include "mirror/verify.h"

#include <algorithm>
#include <sstream>

#include "mirror/shell_op.h"
#include "mirror/size_text.h"
#include "tree/directory_tree.h"

void ComputeTreeTotals(const std::wstring& root, TreeTotals& totals, VolumeFolders volumeFolders) {
    totals = TreeTotals();
    CDirectoryTree tree(twinfold::LongFormRoot(root), Recursion::yes, nullptr, Detail::full, volumeFolders);
    for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
        if (cursor.IsDirectory()) {
            ++totals.numDirs;
        } else {
            ++totals.numFiles;
            // Full 64-bit sizes: trees that differ by a multiple of 4 GiB in one file must not match.
            totals.totalSize += cursor.Size();
        }
    }
}

namespace {

void WriteCounts(std::wostringstream& out, const wchar_t* sizeLabel, const TreeTotals& totals) {
    std::wstring size;
    FormatSize(size, totals.totalSize);
    out << sizeLabel << size << L"\nNum Dirs: " << totals.numDirs << L"\nNum Files: " << totals.numFiles;
}

}  // namespace

bool VerifyMirror(const wchar_t* src, const wchar_t* dst, wchar_t* text, std::size_t textLength) {
    TreeTotals source;
    TreeTotals destination;
    // What the passes leave out at a volume's root, the check leaves out too.
    const VolumeFolders volumeFolders = VolumeFoldersOf(twinfold::LongFormRoot(src), twinfold::LongFormRoot(dst));
    ComputeTreeTotals(src, source, volumeFolders);  // released before the destination is scanned
    ComputeTreeTotals(dst, destination, volumeFolders);
    const bool verified = source == destination;

    std::wostringstream out;
    if (verified) {
        out << L"Operation successful!\n\n";
        WriteCounts(out, L"Total Size: ", source);
    } else {
        out << L"Operation failed!\n\n";
        WriteCounts(out, L"Src Size: ", source);
        out << L"\n\n";
        WriteCounts(out, L"Dst Size: ", destination);
    }
    if (textLength > 0) {
        const std::wstring result = out.str();
        const std::size_t length = std::min(result.size(), textLength - 1);
        std::copy_n(result.c_str(), length, text);
        text[length] = L'\0';
    }
    return verified;
}
