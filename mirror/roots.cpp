#include "mirror/roots.h"

#include <cwctype>

#include "platform/win32.h"

namespace {

bool IsBlank(const std::wstring& text) {
    for (wchar_t c : text) {
        if (!std::iswspace(static_cast<wint_t>(c))) return false;
    }
    return true;
}

bool SameChar(wchar_t a, wchar_t b) {
    if (a == b) return true;
    return twinfold::kNamesIgnoreCase && std::towlower(static_cast<wint_t>(a)) == std::towlower(static_cast<wint_t>(b));
}

bool SamePrefix(const std::wstring& text, const std::wstring& prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!SameChar(text[i], prefix[i])) return false;
    }
    return true;
}

// True when `inner` names a folder strictly below `outer` (both resolved).
bool LiesInside(const std::wstring& inner, const std::wstring& outer) {
    if (outer.empty() || inner.size() <= outer.size() || !SamePrefix(inner, outer)) return false;
    return outer.back() == twinfold::kPathSeparator || inner[outer.size()] == twinfold::kPathSeparator;
}

}  // namespace

RootsCheck CheckRoots(const std::wstring& srcRoot, const std::wstring& dstRoot) {
    // Blank text would reach the directory search as the root of the drive.
    if (IsBlank(srcRoot) || IsBlank(dstRoot)) return RootsCheck::emptyRoot;
    const std::wstring src = twinfold::ResolveFullPath(srcRoot);
    const std::wstring dst = twinfold::ResolveFullPath(dstRoot);
    if (LiesInside(src, dst) || LiesInside(dst, src)) return RootsCheck::overlapping;
    return RootsCheck::ok;
}

const wchar_t* DescribeRootsCheck(RootsCheck check) {
    switch (check) {
        case RootsCheck::ok:
            return L"";
        case RootsCheck::emptyRoot:
            return L"Both a source and a destination folder must be given.";
        case RootsCheck::overlapping:
            return L"The source and destination folders lie one inside the other; mirroring them would copy a "
                   L"folder into itself or delete from the source.";
    }
    return L"";
}
