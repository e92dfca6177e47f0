#include "app/job.h"

#include <new>

MirrorJobResult RunMirrorJob(const MirrorJobSpec& job) {
    MirrorJobResult result;
    if (g_cancelRequested) {
        result.stopped = true;
        return result;
    }
    // Made per job, so that each starts with no failure of an earlier one.
    std::optional<RunContext> run;
    try {
        result.roots = CheckRoots(job.srcRoot, job.dstRoot);
        if (result.roots != RootsCheck::ok) {
            result.failure = Refusal(FailedOperation::mirror, job.srcRoot, job.dstRoot, DescribeRootsCheck(result.roots));
            return result;
        }
        run.emplace(job.srcRoot, job.dstRoot);
        CopyPass(*run, job.srcRoot.c_str(), job.dstRoot.c_str(), job.silent);
        if (!run->Stopping() && job.runDeletePass) DeletePass(*run, job.srcRoot.c_str(), job.dstRoot.c_str());
        result.failure = run->Failure();
    } catch (const std::bad_alloc&) {
        // The passes removed what they had made under temporary names on the way out; the memory they
        // held is free again, enough to keep the reason. The run ends as any failed run.
        g_cancelRequested = true;
        try {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            result.failure = run && run->Failure() ? run->Failure()
                                                   : SystemFailure(FailedOperation::mirror, job.srcRoot, job.dstRoot);
        } catch (const std::bad_alloc&) {
            // Not even that much: the run still ends as a failed one.
        }
    }
    result.stopped = g_cancelRequested;
    return result;
}
