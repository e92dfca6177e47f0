// What the copy pass knows of the destination: for each source entry, what stands at its counterpart.
// The answer comes from what a whole-folder copy made, from the lookups made ahead by the threads that
// scan the source (unless a landing of this pass may have changed it), or from a lookup made now; file
// copies made ahead may still wait to be placed. The view is told what each landing changed, and it
// alone decides when the copies that wait must be placed: before a lookup made now, which must find
// every earlier copy in place, and before any landing that is not a file copy made ahead.
#pragma once

#include <cstddef>
#include <string>

#include "mirror/copies_ahead.h"
#include "mirror/landing.h"
#include "mirror/lookahead.h"
#include "mirror/run.h"
#include "tree/directory_tree.h"

class DestinationView {
public:
    // `srcRootLength`: the length of the source root's text, below which the source is scanned.
    DestinationView(RunContext& run, const std::wstring& dstRoot, std::size_t srcRootLength, Silent silent);
    DestinationView(const DestinationView&) = delete;
    DestinationView& operator=(const DestinationView&) = delete;

    // The hook to scan the source with: it makes the answers ahead where the destination exists
    // (in one that does not, every answer would be "missing"); empty where none are made.
    const ScanHook& Hook() const { return m_hook; }

    // What stands at `dstPath`, the counterpart of the cursor's entry. False when the run is to stop:
    // a copy that waited to be placed first has failed.
    bool At(const CTreeIterator& entry, const std::wstring& dstPath, CounterpartState& state);

    // Whether the file copies of this pass are made ahead on other threads (see CopiesAhead).
    bool CopiesFilesAhead() const { return m_copies.Enabled(); }
    // Queues the copy of the cursor's file to `dstPath`. False when the run is to stop.
    bool CopyAhead(const CTreeIterator& entry, const std::wstring& dstPath, Landing landing);

    // Places every copy that waits: before a landing of another kind, and at the end of the pass.
    // False when one failed (the run's failure then says which).
    bool Settle() { return m_copies.Place(0); }

    // After a landing, made or tried, for the cursor's entry; `folderCopiedWhole` when it copied a
    // folder with everything in it, whose copy then answers for what lies below it.
    void Landed(const CTreeIterator& entry, bool folderCopiedWhole);

private:
    CounterpartLookups m_ahead;
    const ScanHook m_hook;
    CopiesAhead m_copies;
    StaleAnswers m_stale;
    CopiedFolders m_copiedWhole;
};
