// How a copy lands in the destination: every copy is made under a temporary name beside its final
// place and moved there in one rename, so that a name of the destination only ever holds its old
// entry or a complete copy, whatever happens to the process in between. The system calls below may
// write in place (Windows' CopyFileW sets the full size before it writes the data); nothing here
// relies on them not to. Each landing gives back its failure as a value (nothing when it landed),
// with the reason read where the system call that failed returned.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "mirror/failure.h"
#include "mirror/shell_copy.h"

// A path for a temporary entry in the folder that holds `finalPath`: the folder's text, a separator
// and a fresh temporary name (twinfold::TemporaryName).
std::wstring TemporaryPathBeside(const std::wstring& finalPath);

// True when `name` (a bare entry name) is one of ours.
bool IsTemporaryName(const std::wstring& name);

// Where a copy goes into place: where nothing is (the destination lacks the entry), or over the
// entry there (a file, link, FIFO, socket or device; never a folder).
enum class Landing { missing, replacing };

// Replaces the entry `dst` (a file, a link, a FIFO, a socket or a device; never a folder) with a copy
// of `src`: copied to a temporary name, then moved over `dst` in one rename. On failure `dst` is
// untouched and no temporary entry is left.
MaybeFailure LandReplacement(const std::wstring& src, const std::wstring& dst);

// Copies `src`, a file or a folder with everything in it, to `dst`, which the destination lacks, with
// the shell's copy: the whole copy is made under a temporary name (missing parent folders are created
// on the way) and renamed to `dst` once, never over anything that appeared there meanwhile. On
// failure nothing is left but what was there before (parent folders created on the way excepted).
MaybeFailure LandMissing(const std::wstring& src, const std::wstring& dst, Silent silent);

// The same for the file `src`, without the shell: CopyFileW to the temporary name.
MaybeFailure LandMissingFile(const std::wstring& src, const std::wstring& dst);

// How an attempt to make an entry under a temporary name went.
enum class Made { done, nameTaken, failed };
// Made::done when `made`, otherwise what GetLastError() says: the name was taken, or another failure.
Made MadeBy(bool made);

// The reason a step failed, as the system gave it; nothing when it succeeded.
using StepError = std::optional<twinfold::SystemError>;

// Makes a new entry under a fresh temporary name beside `dst` by calling `make` with that name; where
// `make` finds the name taken (and leaves it alone), another is tried. Nothing, with the name in
// `temporary`, when it was made; otherwise the reason, and whatever `make` left there is removed.
StepError PrepareTemporary(const std::wstring& dst, const std::function<Made(const std::wstring&)>& make,
                           std::wstring& temporary);

// Creates the folders above `path` that are missing. True when its parent is a folder afterwards.
bool CreateParentFolders(const std::wstring& path);

// The two halves of LandReplacement and LandMissing for one file, so that the copy can be made on
// another thread while the caller decides when it goes into place.

// Copies the file (or, with `missing`, the entry) `src` to a fresh temporary name beside `dst`,
// returned in `temporary`. On failure nothing is left.
MaybeFailure PrepareCopy(const std::wstring& src, const std::wstring& dst, Landing landing, Silent silent,
                         std::wstring& temporary);
// Moves the copy of `src` prepared at `temporary` to `dst`: over the entry there when replacing, only
// where nothing is when missing. On failure the copy is removed and `dst` is as it was.
MaybeFailure PlacePrepared(const std::wstring& src, const std::wstring& temporary, const std::wstring& dst,
                           Landing landing);
// Removes a prepared copy that will not be placed.
void DiscardPrepared(const std::wstring& temporary);

// Gives the destination entry `from` the name `to`, which its file system takes for the same name
// (they differ only in case). Made in two renames, through a temporary name: some file systems keep
// the old spelling when an entry is renamed straight to a name they take for its own. On failure the
// entry keeps its old name where it can.
MaybeFailure RenameInPlace(const std::wstring& from, const std::wstring& to);

// Makes `dst` a link like the link `src` (same kind, same target), never following either: made
// under a temporary name and renamed into place, over the entry at `dst` when replacing (a file, or
// another link), only where nothing is otherwise. On failure `dst` is as it was.
MaybeFailure LandLink(const std::wstring& src, const std::wstring& dst, Landing landing);
