// Why a step of a run failed, as a value: what was done, to which entry, and the reason. The run keeps
// the first one (mirror/run.h), so that one place can say why it failed.
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

// What a step of a run gives back: nothing when it succeeded, its failure otherwise.
using MaybeFailure = std::optional<RunFailure>;

// The failure of `operation` on `path` (and `target`) for the reason `error`, as read where the
// system call that failed returned. Names the entry below `path` where the system failed (`at`),
// when the platform layer knows one: a folder copied or removed whole fails at one entry inside it.
RunFailure SystemFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                         const twinfold::SystemError& error);
// The same, with the calling thread's last error: call it right after the call that failed.
RunFailure SystemFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target = {});
// A failure that the program decides itself, with its own reason.
RunFailure Refusal(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                   const std::wstring& reason);

// One line for the user, without the program's name or a line break, for example
// "cannot copy 'src/a.bin' to 'dst/a.bin': No space left on device".
std::wstring DescribeFailure(const RunFailure& failure);
