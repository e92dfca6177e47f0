// The check every job makes before its passes run: a root the user did not name, or two roots
// one inside the other, must never reach a pass.
#pragma once

#include <string>

#include "platform/win32.h"

enum class RootsCheck {
    ok,           // distinct folders, or the same folder on both sides (a job that does nothing)
    emptyRoot,    // a root with no text: the passes would work on the root of the drive
    overlapping,  // one root lies inside the other: the copy would recurse or the delete hit the source
    sourceNotFolder,  // the source is missing, runs through a file or is a file: nothing to mirror from
};

// Resolves both roots (relative parts and links) for this check only; the passes keep the text
// exactly as typed. Overlap is judged by what the folders are, not only by their text: a bind mount,
// a substituted drive or a share that shows a folder inside the other root counts as inside.
RootsCheck CheckRoots(const std::wstring& srcRoot, const std::wstring& dstRoot);

// A one-sentence explanation for the user; empty for RootsCheck::ok.
const wchar_t* DescribeRootsCheck(RootsCheck check);

// The identities of a job's two roots, taken when it is made (before the first pass) and held for as
// long as it lives; a run asks StillSame() before work it cannot take back. A destination that does
// not exist yet is pinned at the first check that finds it.
class PinnedRoots {
public:
    PinnedRoots(const std::wstring& srcRoot, const std::wstring& dstRoot);
    PinnedRoots(const PinnedRoots&) = delete;
    PinnedRoots& operator=(const PinnedRoots&) = delete;

    // False when a root is no longer the folder it was when pinned: gone, replaced, or unmounted.
    bool StillSame();
    const std::wstring& Source() const { return m_srcRoot; }
    const std::wstring& Destination() const { return m_dstRoot; }

private:
    std::wstring m_srcRoot;
    std::wstring m_dstRoot;
    bool m_srcPinned = false;
    bool m_dstPinned = false;
    twinfold::FolderIdentity m_src;
    twinfold::FolderIdentity m_dst;
};
