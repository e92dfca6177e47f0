// The two passes of a mirror job. Neither reports anything itself: the first step that fails is
// recorded in the run (mirror/run.h), which stops it; a cancel stops it too.
#pragma once

#include "mirror/run.h"
#include "mirror/shell_copy.h"

// Brings every source entry into the destination at the same relative path: a missing entry is
// copied whole (a directory with everything below it), a file present on both sides is replaced when
// the sizes differ, an entry of another kind is replaced or, against a folder, refused. Stops after
// the first failed step, and after any copy once a cancel has been requested. Never deletes anything.
void CopyPass(RunContext& run, const wchar_t* srcRoot, const wchar_t* dstRoot, Silent silent);

// Removes every destination entry whose counterpart the source lacks: compares the whole destination
// first, then deletes the files, then the directories. Does nothing when the source root lists
// nothing. Only a lookup that says "no such entry" counts as missing: any other failure to read the
// source, or a destination that cannot be listed to its end, fails the run before anything is deleted.
void DeletePass(RunContext& run, const wchar_t* srcRoot, const wchar_t* dstRoot);
