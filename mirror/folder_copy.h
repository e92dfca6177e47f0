// Entries that the destination lacks, copied whole. The shell's copy is used where it can do the job:
// on Windows it takes only ordinary paths within MAX_PATH, changes names that end in a dot or a space
// or that name a device, follows junctions, and skips a file it cannot read, such as one held open
// without sharing, while it reports success. Elsewhere the engine walks the snapshot itself. On
// Windows a folder's copy is then compared with the snapshot before it takes its real name.
#pragma once

#include <string>

#include "mirror/landing.h"
#include "tree/directory_tree.h"

// Whether a pass may use the shell's copy at all: never when a root was typed in the long form
// ("\\?\D:\data"), since the shell does not take such paths.
enum class ShellCopies { allowed, never };

// Copies the source entry at `entry` (a file, or a folder with everything the snapshot holds below
// it, folders that could not be read left out; never a link) to `dst`, which the destination lacks:
// made under a temporary name beside `dst`, with missing parent folders created on the way, and
// renamed to `dst` once, never over anything that appeared there meanwhile. On failure nothing is
// left under the temporary name, and the failure names the entry below a folder where the copy went
// wrong. A cancel requested while a folder is copied by the walk stops it there, and nothing lands.
MaybeFailure LandMissingEntry(const CTreeIterator& entry, const std::wstring& dst, Silent silent, ShellCopies shell);
