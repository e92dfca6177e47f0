// The first failure of a run, kept as a value next to g_cancelRequested, so that one place can say
// why a run failed. The passes still stop through the flag; this only remembers the cause.
#pragma once

#include <optional>
#include <string>

#include "platform/win32.h"

enum class FailedOperation {
    copy,    // a copy of an entry (path: the source; target: the destination)
    remove,  // a deletion from the destination
    list,    // a folder whose listing was refused or broke off
    lookUp,  // a lookup whose answer was neither "there" nor "no such entry"
    rename,  // a destination entry renamed to the source's name (path: the old name; target: the new)
    mirror,  // the job as a whole: refused roots, or a clash the pass will not write through
};

struct RunFailure {
    FailedOperation operation = FailedOperation::copy;
    std::wstring path;
    std::wstring target;  // a copy's destination, or the destination root of a refused job
    std::wstring at;      // the entry below `path` where the system failed, when it is another one
    twinfold::SystemError error;
    std::wstring reason;  // set when the failure is not the system's (then `error` is unused)
};

// Each keeps the failure only when it is the first since ClearRunFailure(); later ones are dropped.
// Takes the calling thread's last error, so call it right after the call that failed.
void NoteFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target = std::wstring());
// With an error kept earlier (on another thread, or before other calls).
void NoteFailure(FailedOperation operation, const std::wstring& path, const twinfold::SystemError& error);
// With everything given: `at` is the entry below `path` where the system failed (or empty).
void NoteFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                 const std::wstring& at, const twinfold::SystemError& error);
// A failure that the program decides itself, with its own reason.
void NoteRefusal(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                 const std::wstring& reason);

std::optional<RunFailure> FirstFailure();
void ClearRunFailure();

// One line for the user, without the program's name or a line break, for example
// "cannot copy 'src/a.bin' to 'dst/a.bin': No space left on device".
std::wstring DescribeFailure(const RunFailure& failure);
