// The check every job makes before its passes run: a root the user did not name, or two roots
// one inside the other, must never reach a pass.
#pragma once

#include <string>

enum class RootsCheck {
    ok,           // distinct folders, or the same folder on both sides (a job that does nothing)
    emptyRoot,    // a root with no text: the passes would work on the root of the drive
    overlapping,  // one root lies inside the other: the copy would recurse or the delete hit the source
};

// Resolves both roots (relative parts and links) for this check only; the passes keep the text
// exactly as typed.
RootsCheck CheckRoots(const std::wstring& srcRoot, const std::wstring& dstRoot);

// A one-sentence explanation for the user; empty for RootsCheck::ok.
const wchar_t* DescribeRootsCheck(RootsCheck check);
