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

#ifdef _WIN32
// The folder above `path` by its text (C:\a\b gives C:\a, C:\a gives C:\); empty at the top.
std::wstring TextParent(const std::wstring& path) {
    const size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos) return {};
    const size_t separator = path.find_last_of(L"\\/", end);
    if (separator == std::wstring::npos) return {};
    std::wstring parent = path.substr(0, separator);
    if (parent.find_first_not_of(L"\\/") == std::wstring::npos) return {};  // \\server and above
    if (parent.back() == L':') parent.push_back(L'\\');
    return parent;
}

// True when `path` or a folder above it has the identity `other`. Identities see what text cannot:
// a substituted drive, a share on this machine, a link on the way.
bool SelfOrAncestorIs(std::wstring path, const twinfold::FolderIdentity& other) {
    for (; !path.empty(); path = TextParent(path)) {
        twinfold::FolderIdentity identity;
        if (twinfold::GetFolderIdentity(path, identity) && identity == other) return true;
    }
    return false;
}
#endif

// True when one root lies inside the other by what the folders are, though their texts differ.
bool OverlapByIdentity(const std::wstring& srcRoot, const std::wstring& dstRoot,
                       const twinfold::FolderIdentity& src) {
#ifdef _WIN32
    twinfold::FolderIdentity dst;
    if (twinfold::GetFolderIdentity(dstRoot, dst)) {
        if (SelfOrAncestorIs(srcRoot, dst) || SelfOrAncestorIs(twinfold::ResolveFullPath(srcRoot), dst)) return true;
    }
    return SelfOrAncestorIs(dstRoot, src) || SelfOrAncestorIs(twinfold::ResolveFullPath(dstRoot), src);
#else
    (void)src;
    // Walking up a bind mount's path never meets the folder it shows: the parent of a mount's root is
    // the mount point's parent. Where each root lies in its file system tells.
    std::uint64_t srcDevice = 0;
    std::uint64_t dstDevice = 0;
    std::wstring srcPlace;
    std::wstring dstPlace;
    if (!twinfold::GetFolderPlace(srcRoot, srcDevice, srcPlace) ||
        !twinfold::GetFolderPlace(dstRoot, dstDevice, dstPlace)) {
        return false;
    }
    return srcDevice == dstDevice && (LiesInside(srcPlace, dstPlace) || LiesInside(dstPlace, srcPlace));
#endif
}

}  // namespace

RootsCheck CheckRoots(const std::wstring& srcRoot, const std::wstring& dstRoot) {
    // Blank text would reach the directory search as the root of the drive.
    if (IsBlank(srcRoot) || IsBlank(dstRoot)) return RootsCheck::emptyRoot;
    // A source drive that is not mounted must not pass for an empty source.
    twinfold::FolderIdentity src;
    if (!twinfold::GetFolderIdentity(srcRoot, src)) return RootsCheck::sourceNotFolder;
    const std::wstring srcResolved = twinfold::ResolveFullPath(srcRoot);
    const std::wstring dstResolved = twinfold::ResolveFullPath(dstRoot);
    if (LiesInside(srcResolved, dstResolved) || LiesInside(dstResolved, srcResolved)) return RootsCheck::overlapping;
    twinfold::FolderIdentity dst;
    if (twinfold::GetFolderIdentity(dstRoot, dst) && dst == src) return RootsCheck::ok;  // one folder: nothing to do
    if (OverlapByIdentity(srcRoot, dstRoot, src)) return RootsCheck::overlapping;
    return RootsCheck::ok;
}

PinnedRoots::PinnedRoots(const std::wstring& srcRoot, const std::wstring& dstRoot)
    : m_srcRoot(srcRoot), m_dstRoot(dstRoot) {
    m_srcPinned = twinfold::GetFolderIdentity(m_srcRoot, m_src);
    m_dstPinned = twinfold::GetFolderIdentity(m_dstRoot, m_dst);
}

bool PinnedRoots::StillSame() {
    twinfold::FolderIdentity now;
    if (!m_srcPinned || !twinfold::GetFolderIdentity(m_srcRoot, now) || now != m_src) return false;
    // A destination the job has not made yet is no change; one that went away is.
    if (!twinfold::GetFolderIdentity(m_dstRoot, now)) return !m_dstPinned;
    if (!m_dstPinned) {
        m_dst = now;
        m_dstPinned = true;
    }
    return now == m_dst;
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
        case RootsCheck::sourceNotFolder:
            return L"The source folder does not exist or is not a folder.";
    }
    return L"";
}
