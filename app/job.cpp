#include "app/job.h"

#include "mirror/failure.h"

MirrorJobResult RunMirrorJob(const MirrorJobSpec& job) {
    MirrorJobResult result;
    if (g_cancelRequested) {
        result.stopped = true;
        return result;
    }
    result.roots = CheckRoots(job.srcRoot, job.dstRoot);
    if (result.roots != RootsCheck::ok) {
        NoteRefusal(FailedOperation::mirror, job.srcRoot, job.dstRoot, DescribeRootsCheck(result.roots));
        return result;
    }
    const PinnedRoots pinned(job.srcRoot, job.dstRoot);
    CopyPass(job.srcRoot.c_str(), job.dstRoot.c_str(), job.silent);
    if (!g_cancelRequested && job.runDeletePass) DeletePass(job.srcRoot.c_str(), job.dstRoot.c_str());
    result.stopped = g_cancelRequested;
    return result;
}
