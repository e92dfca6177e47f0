// Lookups of the other tree's counterparts, made ahead of a pass's walk by the threads that scan the
// walked tree, so that the lookups and the scan keep every core busy instead of taking turns.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/win32.h"
#include "tree/directory_tree.h"

// What a lookup of one counterpart found: the parts of the record and of the failure a pass reads.
struct CounterpartState {
    bool found = false;
    twinfold::SystemError error;  // the last error of a lookup that found nothing
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    unsigned long long size = 0;  // 0 in an answer made with Detail::kinds
    bool IsLink() const { return found && twinfold::IsLinkRecord(attributes, reparseTag); }
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

    // The answer made ahead for the cursor's entry, or null when there is none. Only once the tree
    // is built; the caller decides whether the answer may still hold.
    const CounterpartState* Find(const CTreeIterator& cursor) const;

private:
    void LookUpAll(const CDirectory& directory, std::size_t rootLength);

    const std::wstring m_otherRoot;
    const Detail m_detail;
    std::mutex m_mutex;
    // Per scanned directory, one answer per entry, numbered as the directory numbers them.
    std::unordered_map<const CDirectory*, std::vector<CounterpartState>> m_answers;
    // Folders of the walked tree whose counterparts are absent and which are not scanned yet: their
    // entries' counterparts are absent too. Each is taken out when its folder is answered.
    std::unordered_set<std::wstring> m_missingFolders;
};
