#include "mirror/lookahead.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string_view>

#include "mirror/shell_op.h"

namespace {

// On Windows the real CopyFileW writes a file in place, so a copy can change what another path to
// the same file reports, and names that differ only in case are one entry: there an answer made
// ahead could go stale in ways a pass cannot see, and every lookup is made at its entry's turn.
constexpr bool kLookAhead = !twinfold::kNamesIgnoreCase;

struct ListedEntry {
    std::wstring name;
    DWORD attributes;
    DWORD reparseTag;
};

enum class FolderListing { listed, absent, unknown };

// The entries of `folder` by name, sorted, from one names-and-kinds listing. `absent` when the folder
// is not there (or is no folder), so that nothing below it is; `unknown` when it could not be listed
// to its end.
FolderListing ListFolder(const std::wstring& folder, std::vector<ListedEntry>& entries) {
    WIN32_FIND_DATAW record;
    HANDLE search = twinfold::FindFirstKinds((folder + twinfold::kListPattern).c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) {
        // Only this error is what a lookup of each entry below would say too; any other is left to them.
        return GetLastError() == ERROR_PATH_NOT_FOUND ? FolderListing::absent : FolderListing::unknown;
    }
    do {
        const std::wstring_view name(record.cFileName);
        if (name == L"." || name == L"..") continue;
        entries.push_back(ListedEntry{record.cFileName, record.dwFileAttributes, twinfold::KeptTag(record)});
    } while (FindNextFileW(search, &record));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    std::sort(entries.begin(), entries.end(),
              [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });
    return complete ? FolderListing::listed : FolderListing::unknown;
}

// The entry named exactly `name` (names are compared as they are: these listings are made only where
// names keep their case), or null.
const ListedEntry* FindListed(const std::vector<ListedEntry>& entries, std::wstring_view name) {
    const auto before = [](const ListedEntry& entry, std::wstring_view wanted) { return entry.name < wanted; };
    const auto at = std::lower_bound(entries.begin(), entries.end(), name, before);
    return at != entries.end() && at->name == name ? &*at : nullptr;
}

twinfold::EntryDigest::Kind KindOf(const CTreeIterator& cursor) {
    if (twinfold::IsLinkRecord(cursor.Attributes(), cursor.ReparseTag())) return twinfold::EntryDigest::Kind::link;
    return cursor.IsDirectory() ? twinfold::EntryDigest::Kind::folder : twinfold::EntryDigest::Kind::other;
}

// What the snapshot holds below the folder `root`, whose own entries begin at `cursor`. The folders
// below one folder follow it in the walk, so the walk ahead stops at the first folder outside.
twinfold::EntryDigest SnapshotDigest(CTreeIterator cursor, const std::wstring& root) {
    twinfold::EntryDigest digest;
    const CDirectory* directory = nullptr;
    std::uint64_t folderHash = 0;
    for (; !cursor.AtEnd(); cursor.Next()) {
        if (cursor.Directory() != directory) {
            directory = cursor.Directory();
            const std::wstring& path = directory->Path();
            if (!IsSameOrBelow(path, root)) break;
            folderHash = 0;
            for (std::size_t start = root.size() + 1; start < path.size() + 1;) {
                std::size_t end = path.find(twinfold::kPathSeparator, start);
                if (end == std::wstring::npos) end = path.size();
                folderHash = twinfold::EntryDigest::PathHash(folderHash, path.data() + start, end - start);
                start = end + 1;
            }
        }
        const wchar_t* name = cursor.Name();
        digest.Add(twinfold::EntryDigest::PathHash(folderHash, name, std::wcslen(name)), KindOf(cursor), cursor.Size());
    }
    return digest;
}

}  // namespace

CounterpartState LookUpCounterpart(const std::wstring& path) {
    CounterpartState state;
    WIN32_FIND_DATAW found;
    state.found = LookUpEntry(path, found);
    if (state.found) {
        state.attributes = found.dwFileAttributes;
        state.reparseTag = twinfold::KeptTag(found);
        state.size = RecordSize(found);
        if (twinfold::IsDevice(state.Kind())) state.device = found.dwReserved1;
        const std::size_t separator = path.rfind(twinfold::kPathSeparator);
        const wchar_t* asked = path.c_str() + (separator == std::wstring::npos ? 0 : separator + 1);
        if (std::wcscmp(asked, found.cFileName) != 0) state.otherName = found.cFileName;
    } else {
        state.error = twinfold::LastSystemError();
    }
    return state;
}

CounterpartLookups::CounterpartLookups(const std::wstring& otherRoot, Detail detail)
    : m_otherRoot(otherRoot), m_detail(detail) {}

ScanHook CounterpartLookups::Hook(std::size_t rootLength) {
    if (!kLookAhead) return nullptr;
    return [this, rootLength](const CDirectory& directory) { LookUpAll(directory, rootLength); };
}

void CounterpartLookups::LookUpAll(const CDirectory& directory, std::size_t rootLength) {
    bool belowMissing = false;
    const std::wstring directoryPath = directory.Path();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        belowMissing = m_missingFolders.erase(directoryPath) != 0;
    }
    if (!directory.HasEntries()) return;
    std::vector<ListedEntry> listed;
    if (m_detail == Detail::kinds && !belowMissing) {
        std::wstring folder = m_otherRoot;
        folder.append(directoryPath, std::min(rootLength, directoryPath.size()), std::wstring::npos);
        switch (ListFolder(folder, listed)) {
            case FolderListing::listed: break;
            case FolderListing::absent: belowMissing = true; break;
            case FolderListing::unknown: return;  // each entry is looked up at its turn, and says why
        }
    }
    FolderAnswers folder;
    folder.allMissing = belowMissing;
    if (!belowMissing) folder.answers.reserve(directory.Count());
    std::vector<std::wstring> missingBelow;
    std::wstring path;
    for (size_t i = 0; i < directory.Count(); ++i) {
        // Where the folder's counterpart is not there, nothing below it is: a lookup would only say so
        // again, one path at a time, and the folder's one mark says it for all.
        CounterpartState answer;
        if (belowMissing) {
            answer.error.code = ERROR_PATH_NOT_FOUND;
        } else if (const ListedEntry* entry = FindListed(listed, directory.Name(i))) {
            answer.found = true;
            answer.attributes = entry->attributes;
            answer.reparseTag = entry->reparseTag;
        } else {
            // Not listed, or no listing made: a lookup, which for a name the listing lacks says
            // exactly why it is missing (or finds it, where the file system ignores case). Such a
            // name is about to be deleted, so this costs a call per deletion, not per entry.
            FormCounterpartPath(path, m_otherRoot, directoryPath, rootLength, directory.Name(i));
            answer = LookUpCounterpart(path);
        }
        if (!belowMissing) folder.Keep(i, answer);
        const bool absent = !answer.found && (answer.error.code == ERROR_FILE_NOT_FOUND || answer.error.code == ERROR_PATH_NOT_FOUND);
        if (absent && directory.IsDirectory(i) && !twinfold::IsLinkRecord(directory.Attributes(i), directory.ReparseTag(i))) {
            std::wstring child = directoryPath;
            child.push_back(twinfold::kPathSeparator);
            child.append(directory.Name(i));
            missingBelow.push_back(std::move(child));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::wstring& missing : missingBelow) m_missingFolders.insert(std::move(missing));
    m_answers.emplace(&directory, std::move(folder));
}

void CounterpartLookups::FolderAnswers::Keep(std::size_t index, const CounterpartState& answer) {
    if (!answer.otherName.empty()) {
        answers.push_back(Answer{0, 0, kNoAnswer});  // too big to keep ahead, and rare: asked again at its turn
        return;
    }
    const unsigned long long size = twinfold::IsDevice(answer.Kind()) ? answer.device : answer.size;
    Answer kept{size, answer.found ? answer.attributes : 0, answer.found ? answer.reparseTag : answer.error.code};
    const bool notFound = answer.error.code == ERROR_FILE_NOT_FOUND || answer.error.code == ERROR_PATH_NOT_FOUND;
    if (!answer.found && !notFound) failures.emplace_back(index, answer.error);
    answers.push_back(kept);
}

bool CounterpartLookups::Find(const CTreeIterator& cursor, CounterpartState& answer) const {
    if (m_answers.empty() || cursor.AtEnd()) return false;
    const auto found = m_answers.find(cursor.Directory());
    if (found == m_answers.end()) return false;
    const FolderAnswers& folder = found->second;
    answer = CounterpartState();
    if (folder.allMissing) {
        answer.error.code = ERROR_PATH_NOT_FOUND;
        return true;
    }
    if (cursor.Index() >= folder.answers.size()) return false;
    const Answer& kept = folder.answers[cursor.Index()];
    if (kept.attributes == 0 && kept.tagOrError == kNoAnswer) return false;
    answer.found = kept.attributes != 0;  // an entry that is there has at least FILE_ATTRIBUTE_NORMAL
    if (answer.found) {
        answer.attributes = kept.attributes;
        answer.reparseTag = kept.tagOrError;
        if (twinfold::IsDevice(answer.Kind())) {
            answer.device = static_cast<DWORD>(kept.size);
        } else {
            answer.size = kept.size;
        }
        return true;
    }
    answer.error.code = kept.tagOrError;
    for (const auto& [index, error] : folder.failures) {
        if (index == cursor.Index()) answer.error = error;
    }
    return true;
}

CounterpartState AsCopied(const CTreeIterator& cursor) {
    CounterpartState state;
    state.found = true;
    state.attributes = cursor.Attributes();
    state.reparseTag = cursor.ReparseTag();
    state.size = cursor.Size();
    state.device = cursor.Device();
    return state;
}

void CopiedFolders::Copied(const std::wstring& path) {
    twinfold::EntryDigest made;
    if (twinfold::LastFolderCopyDigest(made)) m_made[path] = made;
}

bool CopiedFolders::Answers(const CTreeIterator& cursor) {
    if (cursor.Directory() == m_directory) return m_answers;
    m_directory = cursor.Directory();
    if (m_directory == nullptr || (m_made.empty() && m_matched.empty())) return m_answers = false;
    const std::wstring path = m_directory->Path();
    if (!m_matched.empty() && IsSameOrBelow(path, m_matched)) return m_answers = true;
    m_matched.clear();
    m_answers = false;
    const auto made = m_made.find(path);
    if (made == m_made.end()) return false;
    if (made->second == SnapshotDigest(cursor, path)) {
        m_matched = path;
        m_answers = true;
    }
    m_made.erase(made);
    return m_answers;
}

namespace {

// A name that some file system might take for a quite different one: beyond plain ASCII the rules
// differ from one file system to the next, and a '~' may make an 8.3 alias.
bool MayBeAnyName(const wchar_t* name) {
    for (; *name != 0; ++name) {
        if (*name >= 0x80 || *name == L'~') return true;
    }
    return false;
}

// A plain name as a file system that folds names compares it: ASCII letters in lower case, without
// trailing dots and spaces.
std::wstring Folded(const wchar_t* name) {
    std::wstring text(name);
    while (!text.empty() && (text.back() == L'.' || text.back() == L' ')) text.pop_back();
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

}  // namespace

bool StaleAnswers::MayBeStale(const CTreeIterator& cursor) {
    if (cursor.Directory() != m_directory) {
        m_directory = cursor.Directory();
        m_foldedHere.clear();
        m_oddNameHere = false;
        m_directoryStale = false;
        if (m_directory == nullptr) return false;
        // The walk comes to a folder only after its parent's entries, so the parent's mark is set.
        m_directoryStale = m_staleFolders.count(m_directory) != 0 || m_staleFolders.count(m_directory->Parent()) != 0;
        if (m_directoryStale) m_staleFolders.insert(m_directory);
    }
    if (m_directoryStale) return true;
    if (m_foldedHere.empty() && !m_oddNameHere) return false;
    // The same test as MayNameTheSame against each name copied here.
    const bool stale = m_oddNameHere || MayBeAnyName(cursor.Name()) || m_foldedHere.count(Folded(cursor.Name())) != 0;
    if (stale && cursor.IsDirectory()) MarkStale(cursor);
    return stale;
}

void StaleAnswers::Copied(const CTreeIterator& cursor) {
    if (MayBeAnyName(cursor.Name())) {
        m_oddNameHere = true;
    } else {
        m_foldedHere.insert(Folded(cursor.Name()));
    }
    if (cursor.IsDirectory()) MarkStale(cursor);
}

void StaleAnswers::MarkStale(const CTreeIterator& folder) {
    // A folder with nothing in it the snapshot kept has no answers to be stale.
    if (const CDirectory* inside = folder.Inside().Directory()) m_staleFolders.insert(inside);
}

bool MayNameTheSame(const wchar_t* a, const wchar_t* b) {
    return MayBeAnyName(a) || MayBeAnyName(b) || Folded(a) == Folded(b);
}
