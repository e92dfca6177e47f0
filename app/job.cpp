#include "app/job.h"

#include <new>

#include "mirror/failure.h"

namespace {

void NoteOutOfMemory(const MirrorJobSpec& job) {
    try {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        NoteFailure(FailedOperation::mirror, job.srcRoot, job.dstRoot);
    } catch (const std::bad_alloc&) {
        // Not even that much: the run still ends as a failed one.
    }
}

}  // namespace

MirrorJobResult RunMirrorJob(const MirrorJobSpec& job) {
    MirrorJobResult result;
    // Each job starts with no failure of its own: an earlier job's, in the same dialog, is not its.
    ClearRunFailure();
    if (g_cancelRequested) {
        result.stopped = true;
        return result;
    }
    try {
        result.roots = CheckRoots(job.srcRoot, job.dstRoot);
        if (result.roots != RootsCheck::ok) {
            NoteRefusal(FailedOperation::mirror, job.srcRoot, job.dstRoot, DescribeRootsCheck(result.roots));
            return result;
        }
        const PinnedRoots pinned(job.srcRoot, job.dstRoot);
        CopyPass(job.srcRoot.c_str(), job.dstRoot.c_str(), job.silent);
        if (!g_cancelRequested && job.runDeletePass) DeletePass(job.srcRoot.c_str(), job.dstRoot.c_str());
    } catch (const std::bad_alloc&) {
        // The passes removed what they had made under temporary names on the way out; the memory they
        // held is free again, enough to keep the reason. The run ends as any failed run.
        g_cancelRequested = true;
        NoteOutOfMemory(job);
    }
    result.stopped = g_cancelRequested;
    return result;
}
