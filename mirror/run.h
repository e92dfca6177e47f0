// One job's run: what its passes share. The cancel request they answer to, the run's first failure,
// and the identities of its two roots, made afresh for each job and handed to its passes.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "mirror/failure.h"
#include "mirror/roots.h"

// Set by the dialog thread to cancel a job, and by a run when a step fails, so that whatever watches
// the flag sees the job stop. Cleared only by whoever starts or ends a job; a run only ever sets it.
extern std::atomic<bool> g_cancelRequested;

class RunContext {
public:
    // A run whose roots are not watched (a pass run on its own).
    RunContext();
    // Pins both roots before the first pass (see PinnedRoots).
    RunContext(const std::wstring& srcRoot, const std::wstring& dstRoot);
    ~RunContext();
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    // True once the run is to stop: the user cancelled, or a step failed.
    bool Stopping() const { return g_cancelRequested; }
    // Keeps `failure` when it is the run's first, and stops the run. Only on the pass's own thread.
    void Fail(RunFailure failure);
    // Keeps `failure` when it is the run's first, as the cause of a failure that the run reaches
    // later: it goes on as far as it can, and then fails (for instance with the same failure again).
    void FailLater(RunFailure failure);
    const std::optional<RunFailure>& Failure() const { return m_failure; }

    // False when a root is no longer the folder it was when pinned (gone, replaced by another folder,
    // or unmounted): the run then fails with that reason. True for a run whose roots are not watched.
    bool RootsStillPinned();

private:
    std::optional<RunFailure> m_failure;
    std::unique_ptr<PinnedRoots> m_pinned;
};
