// Totals of a tree, the check that a mirror matches its source, and the text shown for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tree/directory_tree.h"

struct TreeTotals {
    std::uint64_t totalSize = 0;  // bytes of all files at any depth
    std::uint64_t numDirs = 0;    // directories below the root (the root itself not counted)
    std::uint64_t numFiles = 0;   // files at any depth

    bool operator==(const TreeTotals& other) const {
        return totalSize == other.totalSize && numDirs == other.numDirs && numFiles == other.numFiles;
    }
};

// Size of the caller's buffer for the result text.
inline constexpr std::size_t kResultTextLength = 1024;

// Scans `root` afresh and totals it. A missing or empty root totals 0 in every field. Cannot fail.
void ComputeTreeTotals(const std::wstring& root, TreeTotals& totals, VolumeFolders volumeFolders = VolumeFolders::kept);

// Totals both trees (one snapshot at a time) and writes the success or failure text into `text`,
// always terminated and cut to `textLength` characters. True when the totals are equal.
bool VerifyMirror(const wchar_t* src, const wchar_t* dst, wchar_t* text, std::size_t textLength);

