// A mirror job's one sequence, shared by unattended mode and the dialog's worker: refuse roots the
// user cannot have meant, pin them, run the copy pass and, when asked and nothing stopped it, the
// delete pass. Reading its inputs and reporting its outcome are the caller's.
#pragma once

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
    RootsCheck roots = RootsCheck::ok;  // not ok: refused, and no pass ran (the refusal is kept as the run's failure)
    bool stopped = false;               // g_cancelRequested was set: a cancel, or a failed file operation
};

// Runs the job on the calling thread. A cancel already requested runs no pass.
MirrorJobResult RunMirrorJob(const MirrorJobSpec& job);
