// The two passes of a mirror job. Neither reports anything itself: a failed file operation sets
// g_cancelRequested and ends the pass at once; callers read the flag afterwards.
#pragma once

#include <atomic>
#include <string>

// Set by the dialog thread to cancel a job, and by a pass when a file operation fails.
// Cleared only by whoever starts or ends a job; a pass only ever sets it.
extern std::atomic<bool> g_cancelRequested;

enum class Silent { no, yes };

// Brings every source entry into the destination at the same relative path: a missing entry is
// copied whole (a directory with everything below it), a file present on both sides is replaced when
// the sizes differ. Stops with g_cancelRequested set after the first failed copy, and after any copy
// once a cancel has been requested. Never deletes anything.
void CopyPass(const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent);

// Copies one entry that the destination lacks to exactly `dst`, creating missing parent folders.
// True on success.
bool ShellCopy(const std::wstring& src, const std::wstring& dst, Silent silent);

// Removes every destination entry whose counterpart the source lacks: compares the whole destination
// first, then deletes the files, then the directories. Does nothing when the source root lists
// nothing. Only a lookup that says "no such entry" counts as missing: any other failure to read the
// source sets g_cancelRequested and ends the pass before anything is deleted.
void DeletePass(const wchar_t* srcRoot, const wchar_t* dstRoot);

// Removes one directory with everything in it, permanently, never following a link: a link found
// inside is removed as itself, and a link named here too. True on success.
bool RemoveFolder(const std::wstring& directory);
