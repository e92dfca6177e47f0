#include "mirror/destination_view.h"

#include "mirror/shell_op.h"

namespace {

bool Exists(const std::wstring& path) {
    WIN32_FIND_DATAW record;
    return LookUpEntry(path, record);
}

}  // namespace

DestinationView::DestinationView(RunContext& run, const std::wstring& dstRoot, std::size_t srcRootLength,
                                 Silent silent)
    : m_ahead(dstRoot),
      m_hook(Exists(dstRoot) ? m_ahead.Hook(srcRootLength) : ScanHook()),
      // Where answers are made ahead, the file copies they call for are made ahead too.
      m_copies(run, static_cast<bool>(m_hook), silent) {}

bool DestinationView::At(const CTreeIterator& entry, const std::wstring& dstPath, CounterpartState& state) {
    const bool mayBeStale = m_stale.MayBeStale(entry);
    if (m_copiedWhole.Answers(entry)) {
        state = AsCopied(entry);
        return true;
    }
    if (!mayBeStale && m_ahead.Find(entry, state)) return true;
    // A lookup made now must find every copy before it in place.
    if (!Settle()) return false;
    state = LookUpCounterpart(dstPath);
    return true;
}

bool DestinationView::CopyAhead(const CTreeIterator& entry, const std::wstring& dstPath, Landing landing) {
    m_copies.Add(entry.GetFullPath(), dstPath, landing);
    m_stale.Copied(entry);
    return m_copies.Place(CopiesAhead::kMostWaiting);
}

void DestinationView::Landed(const CTreeIterator& entry, bool folderCopiedWhole) {
    m_stale.Copied(entry);
    if (folderCopiedWhole) m_copiedWhole.Copied(entry.GetFullPath());
}
