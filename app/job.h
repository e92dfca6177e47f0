// A mirror job's one sequence, shared by unattended mode and the dialog's worker: refuse roots the
// user cannot have meant, pin them, run the copy pass and, when asked and nothing stopped it, the
// delete pass. Reading its inputs and reporting its outcome are the caller's.
#pragma once

#include <optional>
#include <string>

#include "mirror/passes.h"
#include "mirror/roots.h"

struct MirrorJobSpec {
    std::wstring srcRoot;
    std::wstring dstRoot;
    bool runDeletePass = true;
    Silent silent = Silent::yes;  // false: the platform's copy may show its progress window
};

struct MirrorJobResult {
    RootsCheck roots = RootsCheck::ok;  // not ok: refused, and no pass ran (the refusal is the failure)
    bool stopped = false;               // g_cancelRequested was set: a cancel, or a failed step
    std::optional<RunFailure> failure;  // why the run failed, when it did
};

// Runs the job on the calling thread, in a run of its own (see RunContext). A cancel already
// requested runs no pass.
MirrorJobResult RunMirrorJob(const MirrorJobSpec& job);
