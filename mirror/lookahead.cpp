#include "mirror/lookahead.h"

#include "mirror/shell_op.h"

namespace {

// On Windows the real CopyFileW writes a file in place, so a copy can change what another path to
// the same file reports, and names that differ only in case are one entry: there an answer made
// ahead could go stale in ways a pass cannot see, and every lookup is made at its entry's turn.
constexpr bool kLookAhead = !twinfold::kNamesIgnoreCase;

}  // namespace

CounterpartState LookUpCounterpart(const std::wstring& path) {
    CounterpartState state;
    WIN32_FIND_DATAW found;
    state.found = LookUpEntry(path, found);
    if (state.found) {
        state.attributes = found.dwFileAttributes;
        state.reparseTag = found.dwReserved0;
        state.size = RecordSize(found);
    } else {
        state.error = twinfold::LastSystemError();
    }
    return state;
}

CounterpartLookups::CounterpartLookups(const std::wstring& otherRoot) : m_otherRoot(otherRoot) {}

ScanHook CounterpartLookups::Hook(std::size_t rootLength) {
    if (!kLookAhead) return nullptr;
    return [this, rootLength](const CDirectory& directory) { LookUpAll(directory, rootLength); };
}

void CounterpartLookups::LookUpAll(const CDirectory& directory, std::size_t rootLength) {
    bool belowMissing = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        belowMissing = m_missingFolders.erase(directory.Path()) != 0;
    }
    if (!directory.HasEntries()) return;
    std::vector<CounterpartState> answers;
    answers.reserve(directory.Count());
    std::vector<std::wstring> missingBelow;
    std::wstring path;
    for (size_t i = 0; i < directory.Count(); ++i) {
        if (belowMissing) {
            // The folder's counterpart is not there, so nothing below it is: the lookup would only
            // say so again, one path at a time.
            CounterpartState missing;
            missing.error.code = ERROR_PATH_NOT_FOUND;
            answers.push_back(missing);
        } else {
            FormCounterpartPath(path, m_otherRoot, directory.Path(), rootLength, directory.Name(i));
            answers.push_back(LookUpCounterpart(path));
        }
        const CounterpartState& answer = answers.back();
        const bool absent = !answer.found && (answer.error.code == ERROR_FILE_NOT_FOUND || answer.error.code == ERROR_PATH_NOT_FOUND);
        if (absent && directory.IsDirectory(i) && !twinfold::IsLinkRecord(directory.Attributes(i), directory.ReparseTag(i))) {
            std::wstring child = directory.Path();
            child.push_back(twinfold::kPathSeparator);
            child.append(directory.Name(i));
            missingBelow.push_back(std::move(child));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::wstring& folder : missingBelow) m_missingFolders.insert(std::move(folder));
    m_answers.emplace(&directory, std::move(answers));
}

const CounterpartState* CounterpartLookups::Find(const CTreeIterator& cursor) const {
    if (m_answers.empty() || cursor.AtEnd()) return nullptr;
    const auto found = m_answers.find(cursor.Directory());
    if (found == m_answers.end()) return nullptr;
    return cursor.Index() < found->second.size() ? &found->second[cursor.Index()] : nullptr;
}
