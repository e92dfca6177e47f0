#include "tree/directory_tree.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "platform/helper_threads.h"

namespace {

bool IsDotOrDotDot(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Owns a search handle so that every way out of a scan closes it.
class ScopedFindHandle {
public:
    explicit ScopedFindHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedFindHandle() {
        if (IsValid()) FindClose(m_handle);
    }
    ScopedFindHandle(const ScopedFindHandle&) = delete;
    ScopedFindHandle& operator=(const ScopedFindHandle&) = delete;
    bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

}  // namespace

// The names of a snapshot, back to back in blocks that never move, so that an entry keeps a plain
// pointer to its name and no allocation of its own. Blocks grow with the snapshot, so a small
// tree takes a few kilobytes and a big one wastes at most the unused end of each block.
class NameArena {
public:
    NameArena() = default;
    NameArena(const NameArena&) = delete;
    NameArena& operator=(const NameArena&) = delete;

    // A terminated copy of the `length` characters at `name`.
    const wchar_t* Add(const wchar_t* name, size_t length) {
        const size_t needed = length + 1;
        if (needed > m_left) {
            const size_t size = std::max(m_nextBlock, needed);
            // Not value-initialised: the unused end of a block is never touched, so never resident.
            m_blocks.emplace_back(new wchar_t[size]);
            m_free = m_blocks.back().get();
            m_left = size;
            m_nextBlock = std::min(m_nextBlock * 2, kLargestBlock);
        }
        wchar_t* copy = m_free;
        std::copy_n(name, length, copy);
        copy[length] = L'\0';
        m_free += needed;
        m_left -= needed;
        return copy;
    }

    // Takes over the blocks of `other`, whose names stay where they are; `other` starts afresh. Throws
    // (allocation) before it takes any.
    void Adopt(NameArena& other) {
        m_blocks.reserve(m_blocks.size() + other.m_blocks.size());
        for (auto& block : other.m_blocks) m_blocks.push_back(std::move(block));
        other.m_blocks.clear();
        other.m_free = nullptr;
        other.m_left = 0;
    }

private:
    static constexpr size_t kFirstBlock = 1024;        // characters
    static constexpr size_t kLargestBlock = 64 * 1024;

    std::vector<std::unique_ptr<wchar_t[]>> m_blocks;
    wchar_t* m_free = nullptr;
    size_t m_left = 0;
    size_t m_nextBlock = kFirstBlock;
};

namespace {

bool SameAsciiIgnoringCase(const wchar_t* a, const wchar_t* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
        if (lower(*a) != lower(*b)) return false;
    }
    return *a == *b;
}

// Why a listing failed: the folder itself, whatever pattern the platform names with it.
twinfold::SystemError ListingError() {
    twinfold::SystemError error = twinfold::LastSystemError();
    error.path.clear();
    return error;
}

bool IsVolumeFolder(const wchar_t* name) {
    return SameAsciiIgnoringCase(name, L"System Volume Information") || SameAsciiIgnoringCase(name, L"$RECYCLE.BIN");
}

}  // namespace

CDirectory::CDirectory(const std::wstring& path, NameArena& names, Detail detail, VolumeFolders volumeFolders,
                       const CDirectory* parent, std::size_t entryInParent, PathMemo* memo)
    : m_parent(parent), m_memo(memo) {
    if (parent == nullptr) {
        m_rootPath = path;
    } else {
        m_name = parent->Name(entryInParent);
    }
    // Entries are gathered here, then copied once into an array of exactly the right size: a
    // snapshot of a big tree holds no spare capacity. (Buffers kept per thread would save two
    // allocations a folder, but in the Windows build entries gathered in thread-local buffers by
    // the parallel scan came out with empty names.)
    std::vector<Entry> subdirs;
    std::vector<Entry> files;
    WIN32_FIND_DATAW record;
    const auto keep = [&names](const WIN32_FIND_DATAW& found, std::vector<Entry>& into) {
        const DWORD tag = twinfold::KeptTag(found);
        const bool device = twinfold::IsDevice(twinfold::KindOf(found.dwFileAttributes, tag));
        into.push_back(Entry{names.Add(found.cFileName, std::wcslen(found.cFileName)),
                             device ? found.dwReserved1 : RecordSize(found), found.dwFileAttributes, tag});
    };
    {
        const std::wstring pattern = path + twinfold::kListPattern;
        ScopedFindHandle search(detail == Detail::kinds ? twinfold::FindFirstKinds(pattern.c_str(), &record)
                                                        : FindFirstFileW(pattern.c_str(), &record));
        if (search.IsValid()) {
            do {
                if (volumeFolders == VolumeFolders::leftOut && IsVolumeFolder(record.cFileName)) continue;
                if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (!IsDotOrDotDot(record.cFileName)) keep(record, subdirs);
                } else {
                    keep(record, files);
                }
            } while (FindNextFileW(search.Get(), &record));
            // Anything but the normal end means the folder held more than was read.
            if (GetLastError() != ERROR_NO_MORE_FILES) {
                m_complete = false;
                m_listError = ListingError();
            }
            m_entries.reserve(subdirs.size() + files.size());
            m_entries.assign(subdirs.begin(), subdirs.end());
            m_entries.insert(m_entries.end(), files.begin(), files.end());
            m_subdirCount = subdirs.size();
            if (m_subdirCount != 0) m_inside.assign(m_subdirCount, kNotKept);
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DIRECTORY) {
            m_complete = false;
            m_listError = ListingError();
        }
    }
    // No listing of a root (not a directory, or refused): the path's own record, if any, is the one entry.
    if (parent != nullptr) return;
    ScopedFindHandle lookup(FindFirstFileW(path.c_str(), &record));
    if (lookup.IsValid()) keep(record, m_entries);
}

// The paths of a tree's folders that were put together last. A walk asks for one folder's path
// entry after entry, then for a folder below or beside it: its path is then the one kept for a folder
// just above plus a name or two, not a climb to the root, which in a tree thousands of levels deep
// would cost a step per level for every entry. Shared by the threads that scan the tree and the one
// that walks it. A slot may outlive its folder (one the snapshot did not keep), but is never asked
// for again: only folders the tree still holds, and the folders above them, are looked for.
class PathMemo {
public:
    void Append(const CDirectory& directory, std::wstring& out, std::size_t skip) {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Up from the folder to the nearest one whose path is kept, or to the root.
        std::vector<const CDirectory*> below;
        const CDirectory* at = &directory;
        const std::wstring* known = nullptr;
        for (;;) {
            if ((known = Kept(at)) != nullptr) break;
            if (at->Parent() == nullptr) {
                known = &at->m_rootPath;
                break;
            }
            below.push_back(at);
            at = at->Parent();
        }
        if (below.empty()) {
            if (skip < known->size()) out.append(*known, skip, std::wstring::npos);
            return;
        }
        Slot& slot = Oldest();
        std::wstring path;
        path.reserve(known->size() + below.size() * 16);
        path = *known;
        for (auto it = below.rbegin(); it != below.rend(); ++it) {
            path.push_back(twinfold::kPathSeparator);
            path.append((*it)->m_name);
        }
        if (skip < path.size()) out.append(path, skip, std::wstring::npos);
        slot.directory = &directory;
        slot.path = std::move(path);
        slot.used = ++m_clock;
    }

private:
    struct Slot {
        const CDirectory* directory = nullptr;
        std::wstring path;
        std::uint64_t used = 0;
    };

    const std::wstring* Kept(const CDirectory* directory) {
        for (Slot& slot : m_slots) {
            if (slot.directory == directory) {
                slot.used = ++m_clock;
                return &slot.path;
            }
        }
        return nullptr;
    }
    Slot& Oldest() {
        Slot* oldest = &m_slots[0];
        for (Slot& slot : m_slots) {
            if (slot.used < oldest->used) oldest = &slot;
        }
        return *oldest;
    }

    std::mutex m_mutex;
    Slot m_slots[4];  // one walk, and the scan's threads beside it
    std::uint64_t m_clock = 0;
};

void CDirectory::AppendPath(std::wstring& out, std::size_t skip) const {
    if (m_parent == nullptr) {
        if (skip < m_rootPath.size()) out.append(m_rootPath, skip, std::wstring::npos);
        return;
    }
    m_memo->Append(*this, out, skip);
}

std::wstring CDirectory::Path() const {
    std::wstring path;
    AppendPath(path);
    return path;
}

CDirectoryTree::CDirectoryTree(const std::wstring& root, Recursion recursion, const ScanHook& hook, Detail detail,
                               VolumeFolders volumeFolders)
    : m_names(std::make_unique<NameArena>()), m_paths(std::make_unique<PathMemo>()), m_root(root) {
    AddDirectory(m_root, recursion, hook, detail, volumeFolders);
}

CDirectoryTree::~CDirectoryTree() = default;

namespace {

// A folder of the tree being built: scanned by whichever thread takes it, then linked to the folders
// below it in listing order, so that the pre-order can be put together once every scan is done.
struct BuildNode {
    std::wstring path;
    std::unique_ptr<CDirectory> directory;
    std::vector<BuildNode*> children;
    std::size_t entryIndex = 0;            // this folder's entry in its parent's directory
    const CDirectory* parent = nullptr;  // that directory; none for the root
};

// Scans the folders of a tree on several threads. Each scan is exactly the scan one thread would make;
// only the moment it is made differs, and the order of the snapshot is fixed by the links between
// the nodes, not by which scan ended first.
class ParallelScan {
public:
    ParallelScan(const std::wstring& root, const ScanHook& hook, Detail detail, VolumeFolders volumeFolders,
                 NameArena& names, PathMemo& paths)
        : m_hook(hook), m_detail(detail), m_volumeFolders(volumeFolders), m_names(names), m_paths(paths) {
        m_nodes.push_back(BuildNode{root, nullptr, {}});
        m_pending.push_back(&m_nodes.front());
    }

    // Scans the whole tree; the calling thread takes part. Rethrows what a scan threw (allocation).
    BuildNode& Run() {
        std::vector<std::thread> helpers;
        twinfold::StartHelpers(helpers, kMostHelpers, [this] { Work(); });
        Work();
        for (std::thread& helper : helpers) helper.join();
        if (m_error) std::rethrow_exception(m_error);
        return m_nodes.front();
    }

private:
    static constexpr unsigned kMostHelpers = 3;

    void Work() {
        // Each thread fills names of its own, handed to the snapshot when it has no more to scan.
        NameArena names;
        for (;;) {
            BuildNode* node = nullptr;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_pending.empty() || m_unfinished == 0 || m_error; });
                if (m_error || m_pending.empty()) {
                    try {
                        m_names.Adopt(names);
                    } catch (const std::bad_alloc&) {
                        // The names go with this thread's arena, and the snapshot is given up.
                        if (!m_error) m_error = std::current_exception();
                        m_wake.notify_all();
                    }
                    return;
                }
                node = m_pending.back();
                m_pending.pop_back();
            }
            std::vector<std::pair<std::wstring, std::size_t>> childPaths;
            try {
                const bool root = node == &m_nodes.front();
                node->directory = std::make_unique<CDirectory>(node->path, names, m_detail,
                                                               root ? m_volumeFolders : VolumeFolders::kept,
                                                               node->parent, node->entryIndex, &m_paths);
                const CDirectory& directory = *node->directory;
                if (m_hook) m_hook(directory);
                for (size_t i = 0; directory.IsDirectory(i); ++i) {
                    // A link to a folder is an entry of its parent, never a way out of the tree.
                    if (twinfold::IsLinkRecord(directory.Attributes(i), directory.ReparseTag(i))) continue;
                    std::wstring childPath = node->path;
                    childPath.push_back(twinfold::kPathSeparator);
                    childPath.append(directory.Name(i));
                    childPaths.emplace_back(std::move(childPath), i);
                }
                std::wstring().swap(node->path);
                std::lock_guard<std::mutex> lock(m_mutex);
                node->children.reserve(childPaths.size());
                for (auto& [childPath, entryIndex] : childPaths) {
                    m_nodes.push_back(BuildNode{std::move(childPath), nullptr, {}, entryIndex, node->directory.get()});
                    node->children.push_back(&m_nodes.back());
                }
                // Last in, first out, the first subfolder on top: a thread stays near where it was.
                m_pending.insert(m_pending.end(), node->children.rbegin(), node->children.rend());
                m_unfinished += node->children.size();
                --m_unfinished;
            } catch (...) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!m_error) m_error = std::current_exception();
            }
            m_wake.notify_all();
        }
    }

    const ScanHook& m_hook;
    const Detail m_detail;
    const VolumeFolders m_volumeFolders;  // for the root's own listing
    NameArena& m_names;
    PathMemo& m_paths;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<BuildNode> m_nodes;  // a deque never moves what it holds
    std::vector<BuildNode*> m_pending;
    size_t m_unfinished = 1;  // folders taken or waiting, not yet scanned
    std::exception_ptr m_error;
};

}  // namespace

// Builds the snapshot in pre-order. The folders are scanned side by side; the pre-order is then
// walked on an explicit stack rather than the call stack, so a very deep tree cannot overflow a
// worker thread's stack.
void CDirectoryTree::AddDirectory(const std::wstring& path, Recursion recursion, const ScanHook& hook, Detail detail,
                                  VolumeFolders volumeFolders) {
    if (recursion == Recursion::no) {
        auto scanned = std::make_unique<CDirectory>(path, *m_names, detail, volumeFolders);
        if (hook) hook(*scanned);
        m_complete = scanned->Complete();
        if (!m_complete) {
            m_incompletePath = scanned->Path();
            m_incompleteError = scanned->ListError();
        }
        if (scanned->HasEntries()) m_directories.push_back(std::move(scanned));
        return;
    }
    ParallelScan scan(path, hook, detail, volumeFolders, *m_names, *m_paths);
    BuildNode& root = scan.Run();
    // Keeps a scanned folder in walking order; a folder's entry in its parent's directory learns where,
    // and whether the folder could be read.
    auto keep = [this](BuildNode& node, CDirectory* parent) {
        const bool complete = node.directory->Complete();
        if (!complete && m_complete) {
            m_complete = false;
            m_incompletePath = node.directory->Path();
            m_incompleteError = node.directory->ListError();
        }
        const bool kept = node.directory->HasEntries();
        if (parent != nullptr) {
            const std::uint32_t flags = complete ? 0 : CDirectory::kUnreadable | CDirectory::kUnreadableBelow;
            parent->m_inside[node.entryIndex] =
                (kept ? static_cast<std::uint32_t>(m_directories.size()) : CDirectory::kNotKept) | flags;
        }
        if (!kept) return static_cast<CDirectory*>(nullptr);
        m_directories.push_back(std::move(node.directory));
        return m_directories.back().get();
    };
    struct Step {
        const BuildNode* node;
        CDirectory* directory;  // the node's, where kept
        size_t next;
        bool unreadableBelow;  // the folder, or one below it, could not be read to its end
    };
    const bool rootComplete = root.directory->Complete();
    std::vector<Step> stack{{&root, keep(root, nullptr), 0, !rootComplete}};
    while (!stack.empty()) {
        Step& step = stack.back();
        if (step.next == step.node->children.size()) {
            const Step done = step;
            stack.pop_back();
            if (done.unreadableBelow && !stack.empty()) {
                // The folder's mark, in its parent's directory, tells the folders above as well.
                stack.back().unreadableBelow = true;
                stack.back().directory->m_inside[done.node->entryIndex] |= CDirectory::kUnreadableBelow;
            }
            continue;
        }
        BuildNode* child = step.node->children[step.next++];
        const bool childComplete = child->directory->Complete();
        CDirectory* kept = keep(*child, step.directory);
        stack.push_back({child, kept, 0, !childComplete});  // `step` is not used past this point
    }
}

CTreeIterator CDirectoryTree::Begin() const {
    CTreeIterator cursor;
    if (m_directories.empty()) return cursor;
    cursor.m_tree = this;
    cursor.m_directory = m_directories.front().get();
    return cursor;
}

CTreeIterator CTreeIterator::Inside() const {
    CTreeIterator inside;
    if (!IsDirectory() || m_directory->m_inside.empty()) return inside;
    const std::uint32_t at = m_directory->m_inside[m_index] & CDirectory::kNotKept;
    if (at == CDirectory::kNotKept) return inside;
    inside.m_tree = m_tree;
    inside.m_directoryIndex = at;
    inside.m_directory = m_tree->m_directories[at].get();
    return inside;
}

void CTreeIterator::Next() {
    if (AtEnd()) return;
    if (++m_index < m_directory->Count()) return;
    // Every kept directory has entries, so the next one starts at its first.
    if (++m_directoryIndex < m_tree->m_directories.size()) {
        m_directory = m_tree->m_directories[m_directoryIndex].get();
        m_index = 0;
        return;
    }
    *this = CTreeIterator();
}

std::wstring CTreeIterator::GetFullPath() const {
    std::wstring path;
    if (AtEnd()) return path;
    m_directory->AppendPath(path);
    path.push_back(twinfold::kPathSeparator);
    path.append(Name());
    return path;
}

void CTreeIterator::AppendRelativePath(std::wstring& out) const {
    if (AtEnd()) return;
    // Every scanned directory's path begins with the root exactly as given.
    m_directory->AppendPath(out, m_tree->m_root.size());
    out.push_back(twinfold::kPathSeparator);
    out.append(Name());
}

std::wstring CTreeIterator::GetRelativePath() const {
    std::wstring path;
    AppendRelativePath(path);
    return path;
}
