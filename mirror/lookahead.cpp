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
    if (!directory.HasEntries()) return;
    std::vector<CounterpartState> answers;
    answers.reserve(directory.m_subdirs.size() + directory.m_files.size());
    std::wstring path;
    for (const auto* records : {&directory.m_subdirs, &directory.m_files}) {
        for (const WIN32_FIND_DATAW& record : *records) {
            FormCounterpartPath(path, m_otherRoot, directory.m_path, rootLength, record.cFileName);
            answers.push_back(LookUpCounterpart(path));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.emplace(&directory, std::move(answers));
}

const CounterpartState* CounterpartLookups::Find(const CTreeIterator& cursor) const {
    if (m_answers.empty() || cursor.AtEnd()) return nullptr;
    const CDirectoryIterator& position = cursor.m_position;
    const auto found = m_answers.find(position.m_directory);
    if (found == m_answers.end()) return nullptr;
    const size_t index = position.m_subdirIndex >= 0
                             ? static_cast<size_t>(position.m_subdirIndex)
                             : position.m_directory->m_subdirs.size() + static_cast<size_t>(position.m_fileIndex);
    return index < found->second.size() ? &found->second[index] : nullptr;
}
