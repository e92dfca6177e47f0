// POSIX test builds only: a fault hook under the Win32 stand-in, so tests can make one system call
// fail the way a full disk, a broken device or a refused permission would, without a mock of the
// engine.
//
// A rule names a call, the Nth use of it to fail (counting only uses on paths that contain
// `pathPart`), and the errno to fail with. The environment variable TWINFOLD_FAULT sets a rule for a
// whole process: "call:N:ERRNO[:pathPart]", N followed by '+' to fail every use from the Nth on,
// for example "rename:3:ENOSPC" or "lookup:5+:EIO:/mnt/src". In place of the errno, SIGHUP, SIGINT,
// SIGTERM or SIGSTOP makes the process send itself that signal at the nth use, which then goes on:
// "read:7:SIGINT" is a Ctrl-C at a known point of a run. With TWINFOLD_FAULT_REPORT=file as
// well, the count of matching uses is written to that file when the process exits normally.
#pragma once

#include <functional>
#include <string>

namespace twinfold::fault {

enum class Call {
    open,     // opening a file for reading or creating one for writing; entering a folder to remove it
    read,     // reading file data
    write,    // writing file data
    rename,   // moving a finished temporary file (or settings file) into place
    mkdir,    // creating a directory
    unlink,   // removing a file or link
    rmdir,    // removing an empty directory
    list,     // opening or reading a directory listing
    lookup,   // looking up one entry (FindFirstFileW on a plain path); each entry of a listing too,
              // since it answers in place of that lookup
    symlink,  // creating a link
    reparse,  // marks: a listed or looked-up entry is reported as a reparse point that is no link
    untyped,  // marks: a names-and-kinds listing is not told the entry's kind, as on some file systems
};

struct Rule {
    Call call = Call::open;
    unsigned nth = 1;
    bool persistent = false;  // fail every matching use from the nth on
    int error = 5;            // EIO
    std::string pathPart;     // empty: every path matches
    // When set, runs at the nth matching use instead of failing it (once), e.g. to change the tree.
    std::function<void()> action;
};

void Install(Rule rule);  // replaces any rule and restarts the count
void Clear();
unsigned MatchingUses();  // matching uses of the installed rule's call so far

// Parses the TWINFOLD_FAULT form; false when it is malformed.
bool ParseRule(const std::string& text, Rule& rule);

// Called by the layer before each system call. True means the call must fail: errno is then set.
// Only the test build of the layer has the hook; in the shipped program no call ever fails here.
#ifdef TWINFOLD_FAULT_HOOK
inline constexpr bool kHooked = true;
bool Strike(Call call, const char* path);
#else
inline constexpr bool kHooked = false;  // a path built only for the hook need not be built
inline bool Strike(Call, const char*) { return false; }
#endif

}  // namespace twinfold::fault
