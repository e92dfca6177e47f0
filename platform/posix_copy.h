// POSIX only: what the copy of one entry, the folder copy and removal, and the Win32 calls built on
// them share. Not for the engine: it must see only platform/win32.h.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/posix_internal.h"

namespace twinfold::posix {

// Gives a new entry (the descriptor `fd`, or `name` in the folder `fd`, not followed) the source's
// owner and group, as cp -a does, and returns the permission bits to set afterwards: chown clears
// the set-id bits, so the mode must come second. Where the owner cannot be kept (not root, or
// refused), the set-user-id and set-group-id bits are dropped, so that a copy never becomes a set-id
// program of whoever runs the mirror.
mode_t KeepOwner(int fd, const char* name, const struct stat& st);

// The target of the link `name` in `dir` (ENAMETOOLONG past 1 MiB).
Status ReadLinkAt(const At& dir, const std::string& name, std::string& target);

// Copies one entry that is not a directory; `st` is its lstat. A directory already at the
// destination is never replaced; with Landing::create nothing that is already there is.
Status CopyNonDirectoryAt(const At& src, const std::string& name, const struct stat& st, const At& dst,
                          const std::string& dstName, Landing landing, std::uint64_t* copied = nullptr);

// A name that the listing gave as a regular file, copied without an lstat of its own: the open that
// reads it checks what it is. Gone since the listing, it is passed over, as an entry whose lstat
// finds nothing is.
// `gone` tells which of the two it was.
Status CopyListedFileAt(const At& src, const std::string& name, const At& dst, Landing landing, std::uint64_t& copied,
                        bool& gone);

// What the last folder copy of this thread made; valid only after one that succeeded.
struct FolderCopyDigest {
    bool valid = false;
    EntryDigest digest;
};
extern thread_local FolderCopyDigest t_lastFolderCopy;
// Set while an UnreadableFoldersLeftOut lives on this thread.
extern thread_local bool t_leaveOutUnreadable;

// Removes the directory `name` in `base` with everything in it. Every step is relative to an open
// parent, and a subdirectory is opened with O_NOFOLLOW, so nothing outside is ever touched, even
// when a folder inside is swapped for a link while this runs.
Status RemoveDirectoryAt(const At& base, const std::string& name);

// Copies the directory `name` in `srcBase`, with everything in it, to `dstName` in `dstBase`.
// The files of each folder are copied side by side (see Crew); its subfolders are entered one
// after another once its files are done, and its own bits and times are set last of all. The order
// inside the copy does not matter to anyone: the folder copy is one operation, and the pass lands
// it under its final name only once it is complete.
Status CopyDirectoryAt(const At& srcBase, const std::string& name, const At& dstBase, const std::string& dstName);

}  // namespace twinfold::posix
