// Lookups of the other tree's counterparts, made ahead of a pass's walk by the threads that scan the
// walked tree, so that the lookups and the scan keep every core busy instead of taking turns; and
// what tells a pass when such an answer may no longer hold, or when its own copy already answers.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "tree/directory_tree.h"

// What a lookup of one counterpart found: the parts of the record and of the failure a pass reads.
struct CounterpartState {
    bool found = false;
    twinfold::SystemError error;  // the last error of a lookup that found nothing
    DWORD attributes = 0;
    DWORD reparseTag = 0;         // the kept tag (see twinfold::KeptTag)
    unsigned long long size = 0;  // 0 in an answer made with Detail::kinds
    DWORD device = 0;             // a device's number
    // Where the other tree's file system found the entry under another name than the one asked for
    // (it ignores case, or matched a short 8.3 alias): that name, as the folder holds it. Empty when
    // the names are the same. Answers made ahead never have one: such an entry is looked up at its turn.
    std::wstring otherName;
    bool IsLink() const { return found && twinfold::IsLinkRecord(attributes, reparseTag); }
    twinfold::EntryKind Kind() const { return twinfold::KindOf(attributes, reparseTag); }
};

// Looks up one counterpart now, by its full path.
CounterpartState LookUpCounterpart(const std::wstring& path);

class CounterpartLookups {
public:
    // `otherRoot`: the other tree's root text, to which relative paths are appended. With
    // Detail::kinds the answers made ahead tell only found, the error and the kind, never the size
    // (see CDirectory): a counterpart folder is then listed once instead of each entry looked up.
    explicit CounterpartLookups(const std::wstring& otherRoot, Detail detail = Detail::full);
    CounterpartLookups(const CounterpartLookups&) = delete;
    CounterpartLookups& operator=(const CounterpartLookups&) = delete;

    // The hook to give the walked tree's constructor; empty where lookups are not made ahead.
    // `rootLength` is the length of the walked tree's root text.
    ScanHook Hook(std::size_t rootLength);

    // The answer made ahead for the cursor's entry into `answer`, or false when there is none. Only
    // once the tree is built; the caller decides whether the answer may still hold.
    bool Find(const CTreeIterator& cursor, CounterpartState& answer) const;

private:
    // One answer in 16 bytes: at a million entries, the answers are a good part of a run's memory.
    struct Answer {
        unsigned long long size;  // a device's number for a device, which has no size
        DWORD attributes;  // 0: the entry is not there (one that is has at least FILE_ATTRIBUTE_NORMAL)
        DWORD tagOrError;  // the reparse tag of an entry that is there, else the error's code (kNoAnswer: none)
    };
    static constexpr DWORD kNoAnswer = 0xFFFFFFFFu;  // no error has this code
    struct FolderAnswers {
        bool allMissing = false;  // the folder's counterpart is not there: every entry is missing
        std::vector<Answer> answers;
        std::vector<std::pair<std::size_t, twinfold::SystemError>> failures;  // lookups that failed otherwise
        void Keep(std::size_t index, const CounterpartState& answer);
    };

    void LookUpAll(const CDirectory& directory, std::size_t rootLength);

    const std::wstring m_otherRoot;
    const Detail m_detail;
    std::mutex m_mutex;
    // Per scanned directory, one answer per entry, numbered as the directory numbers them.
    std::unordered_map<const CDirectory*, FolderAnswers> m_answers;
    // Folders of the walked tree whose counterparts are absent and which are not scanned yet: their
    // entries' counterparts are absent too. Each is taken out when its folder is answered.
    std::unordered_set<std::wstring> m_missingFolders;
};

// The destination entry that the copy of the cursor's entry made, as a lookup would find it.
CounterpartState AsCopied(const CTreeIterator& cursor);

// The folders a pass copied whole, with what each copy made. Once the walk comes to the entries of
// such a folder, it sums up what its snapshot holds below the folder; where that agrees with what
// the copy made, every entry there is in the destination just as the snapshot has it, and a lookup
// of each would only say so again.
class CopiedFolders {
public:
    // After the folder at `path` (the walked tree's own path) was copied whole: what the copy made,
    // where the platform layer tells.
    void Copied(const std::wstring& path);
    // True when the cursor's entry lies below a folder copied whole that made what the snapshot
    // holds: AsCopied() is then its answer.
    bool Answers(const CTreeIterator& cursor);

private:
    std::unordered_map<std::wstring, twinfold::EntryDigest> m_made;  // copied, not yet come to
    const CDirectory* m_directory = nullptr;
    bool m_answers = false;
    std::wstring m_matched;  // the copied folder whose entries are being answered
};

// Which answers made ahead a pass's own copies may have made stale. A copy changes the entry under
// its own name, and a folder copied whole everything below it. Where the destination tells names
// apart exactly, that is all. Some file systems that Linux mounts (vfat, exfat, cifs, ext4 with
// casefolding) take names that differ in case or in trailing dots and spaces for one, or find an
// entry by a short 8.3 alias too: there a copy can change what a lookup of a sibling finds. So a
// sibling whose name such a file system might take for the copied one is looked up at its turn,
// with everything below it.
class StaleAnswers {
public:
    // Before the cursor's entry is compared: true when an answer made ahead for it may be stale.
    bool MayBeStale(const CTreeIterator& cursor);
    // After a copy was made (or tried) for the cursor's entry.
    void Copied(const CTreeIterator& cursor);

private:
    void MarkStale(const CTreeIterator& folder);  // everything below the folder entry

    const CDirectory* m_directory = nullptr;
    bool m_directoryStale = false;  // the whole directory lies below a changed folder
    // The names copied in the current directory, as a file system that folds names would see them
    // (see MayNameTheSame): one lookup per entry, however many were copied.
    std::unordered_set<std::wstring> m_foldedHere;
    bool m_oddNameHere = false;  // a name copied here might be taken for any other
    std::unordered_set<const CDirectory*> m_staleFolders;  // folders' own listings, with all below stale
};

// Whether some file system could take the names `a` and `b` for one: equal but for the case of
// ASCII letters and trailing dots and spaces. Beyond plain ASCII the rules differ from one file
// system to the next, and a '~' may make an 8.3 alias, so such a name might be anything.
bool MayNameTheSame(const wchar_t* a, const wchar_t* b);
