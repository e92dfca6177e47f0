// POSIX only: what the layer knows of the roots of the running pass, shared by the file that pins
// them (posix_roots.cpp) and the one that reaches folders below them (posix_beneath.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/posix_internal.h"

struct twinfold::PassRoots::State {
    struct Root {
        std::string text;  // without trailing separators
        std::atomic<int> fd{-1};
        // The layer's change count when opening last failed, plus one: only a change of the layer's
        // own (the pass creating the destination) makes another attempt worth its system calls.
        std::atomic<std::uint64_t> failedAt{0};
        dev_t dev = 0;  // valid once fd is
        ino_t ino = 0;
        std::uint64_t mountId = 0;  // of the mount that holds the root; valid once fd is, when hasMountId
        bool hasMountId = false;
    };
    Root roots[2];
    std::mutex opening;
    // Set when a listing met a root below a root, or a folder below a root lies on a mount that
    // overlaps the other root: from then on nothing below the roots is trusted.
    std::atomic<bool> tripped{false};

    // Mounts below the roots that were found not to overlap the other root, and where each root lies
    // in its file system (see GetFolderPlace), found once it is needed.
    std::mutex mounts;
    std::unordered_set<std::uint64_t> harmlessMounts;
    struct Place {
        bool known = false;
        bool found = false;
        dev_t device = 0;
        std::string path;
    };
    Place places[2];
};

namespace twinfold::posix {

// The roots of the pass that runs, or none.
extern std::atomic<PassRoots::State*> g_passRoots;

// The root's descriptor, opened on first use; -1 when it cannot be opened (yet).
int RootFd(PassRoots::State& state, PassRoots::State::Root& root);
// Checks the mount that holds the folder `fd`, found below the root `index`, against the other root:
// 0, or kRootsOverlap (and the roots are tripped).
int CheckMountBelow(PassRoots::State& state, int index, int fd);
// The text of `path` below `root` (leading separators dropped; empty for the root itself), or false
// when `path` does not start with the root's text.
bool TextBelow(const std::string& path, const std::string& root, std::string& below);

}  // namespace twinfold::posix
