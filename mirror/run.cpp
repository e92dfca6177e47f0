#include "mirror/run.h"

std::atomic<bool> g_cancelRequested{false};

RunContext::RunContext() = default;

RunContext::RunContext(const std::wstring& srcRoot, const std::wstring& dstRoot)
    : m_pinned(std::make_unique<PinnedRoots>(srcRoot, dstRoot)) {}

RunContext::~RunContext() = default;

void RunContext::Fail(RunFailure failure) {
    FailLater(std::move(failure));
    g_cancelRequested = true;
}

void RunContext::FailLater(RunFailure failure) {
    if (!m_failure) m_failure = std::move(failure);
}

bool RunContext::RootsStillPinned() {
    if (m_pinned == nullptr || m_pinned->StillSame()) return true;
    Fail(Refusal(FailedOperation::mirror, m_pinned->Source(), m_pinned->Destination(),
                 L"the source or the destination folder was moved, replaced or unmounted during the run"));
    return false;
}
