#include "tree/directory_tree.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

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

// A buffer that once held a huge folder is not kept for the rest of the thread's life.
void ReleaseIfLarge(std::vector<WIN32_FIND_DATAW>& buffer) {
    constexpr size_t kKeptRecords = 4096;
    if (buffer.capacity() > kKeptRecords) std::vector<WIN32_FIND_DATAW>().swap(buffer);
}

}  // namespace

CDirectory::CDirectory(const std::wstring& path) : m_path(path) {
    // Records are gathered in buffers that each thread reuses, then copied once into arrays of
    // exactly the right size: a snapshot of a big tree holds no spare capacity.
    thread_local std::vector<WIN32_FIND_DATAW> t_subdirs;
    thread_local std::vector<WIN32_FIND_DATAW> t_files;
    t_subdirs.clear();
    t_files.clear();
    WIN32_FIND_DATAW record;
    {
        ScopedFindHandle search(FindFirstFileW((m_path + twinfold::kListPattern).c_str(), &record));
        if (search.IsValid()) {
            do {
                if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (!IsDotOrDotDot(record.cFileName)) t_subdirs.push_back(record);
                } else {
                    t_files.push_back(record);
                }
            } while (FindNextFileW(search.Get(), &record));
            // Anything but the normal end means the folder held more than was read.
            if (GetLastError() != ERROR_NO_MORE_FILES) {
                m_complete = false;
                m_listError = twinfold::LastSystemError();
            }
            m_subdirs.assign(t_subdirs.begin(), t_subdirs.end());
            m_files.assign(t_files.begin(), t_files.end());
            ReleaseIfLarge(t_subdirs);
            ReleaseIfLarge(t_files);
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DIRECTORY) {
            m_complete = false;
            m_listError = twinfold::LastSystemError();
        }
    }
    // No listing (not a directory, or refused): the path's own record, if any, is the one entry.
    ScopedFindHandle lookup(FindFirstFileW(m_path.c_str(), &record));
    if (lookup.IsValid()) m_files.push_back(record);
}

CDirectoryIterator::CDirectoryIterator(const CDirectory* directory) : m_directory(directory) {
    if (directory == nullptr) {
        m_directory = nullptr;
        return;
    }
    m_subdirIndex = directory->m_subdirs.empty() ? -1 : 0;
    m_fileIndex = directory->m_files.empty() ? -1 : 0;
    m_valid = m_subdirIndex == 0 || m_fileIndex == 0;
    if (!m_valid) *this = CDirectoryIterator();
}

void CDirectoryIterator::Next() {
    if (!m_valid) return;
    if (m_subdirIndex >= 0) {
        if (++m_subdirIndex < static_cast<int>(m_directory->m_subdirs.size())) return;
        m_subdirIndex = -1;
        if (m_fileIndex == 0) return;  // on to the first file record
    } else if (m_fileIndex >= 0) {
        if (++m_fileIndex < static_cast<int>(m_directory->m_files.size())) return;
    }
    *this = CDirectoryIterator();
}

const WIN32_FIND_DATAW* CDirectoryIterator::GetFindData() const {
    if (!m_valid) return nullptr;
    if (m_subdirIndex >= 0) return &m_directory->m_subdirs[static_cast<size_t>(m_subdirIndex)];
    if (m_fileIndex >= 0) return &m_directory->m_files[static_cast<size_t>(m_fileIndex)];
    return nullptr;
}

std::wstring CDirectoryIterator::GetName() const {
    const WIN32_FIND_DATAW* record = GetFindData();
    return record ? std::wstring(record->cFileName) : std::wstring();
}

void CDirectoryIterator::AppendFullPath(std::wstring& out) const {
    const WIN32_FIND_DATAW* record = GetFindData();
    if (record == nullptr) return;
    out.append(m_directory->m_path);
    out.push_back(twinfold::kPathSeparator);
    out.append(record->cFileName);
}

std::wstring CDirectoryIterator::GetFullPath() const {
    std::wstring path;
    AppendFullPath(path);
    return path;
}

CDirectoryTree::CDirectoryTree(const std::wstring& root, Recursion recursion, const ScanHook& hook)
    : m_root(root), m_recursive(recursion == Recursion::yes) {
    AddDirectory(m_root, hook);
}

namespace {

// A folder of the tree being built: scanned by whichever thread takes it, then linked to the folders
// below it in listing order, so that the pre-order can be put together once every scan is done.
struct BuildNode {
    std::wstring path;
    std::unique_ptr<CDirectory> directory;
    std::vector<BuildNode*> children;
};

// Scans the folders of a tree on several threads. Each scan is exactly the scan one thread would make;
// only the moment it is made differs, and the order of the snapshot is fixed by the links between
// the nodes, not by which scan ended first.
class ParallelScan {
public:
    ParallelScan(const std::wstring& root, const ScanHook& hook) : m_hook(hook) {
        m_nodes.push_back(BuildNode{root, nullptr, {}});
        m_pending.push_back(&m_nodes.front());
    }

    // Scans the whole tree; the calling thread takes part. Rethrows what a scan threw (allocation).
    BuildNode& Run() {
        std::vector<std::thread> helpers;
        const unsigned cores = std::thread::hardware_concurrency();
        const unsigned wanted = cores > 1 ? std::min(cores - 1, kMostHelpers) : 0;
        for (unsigned i = 0; i < wanted; ++i) {
            try {
                helpers.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;  // fewer threads, same snapshot
            }
        }
        Work();
        for (std::thread& helper : helpers) helper.join();
        if (m_error) std::rethrow_exception(m_error);
        return m_nodes.front();
    }

private:
    static constexpr unsigned kMostHelpers = 3;

    void Work() {
        for (;;) {
            BuildNode* node = nullptr;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_pending.empty() || m_unfinished == 0 || m_error; });
                if (m_error || m_pending.empty()) return;
                node = m_pending.back();
                m_pending.pop_back();
            }
            std::vector<std::wstring> childPaths;
            try {
                node->directory = std::make_unique<CDirectory>(node->path);
                std::wstring().swap(node->path);
                if (m_hook) m_hook(*node->directory);
                for (const WIN32_FIND_DATAW& record : node->directory->m_subdirs) {
                    // A link to a folder is an entry of its parent, never a way out of the tree.
                    if (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
                    std::wstring childPath = node->directory->m_path;
                    childPath.push_back(twinfold::kPathSeparator);
                    childPath.append(record.cFileName);
                    childPaths.push_back(std::move(childPath));
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                node->children.reserve(childPaths.size());
                for (std::wstring& childPath : childPaths) {
                    m_nodes.push_back(BuildNode{std::move(childPath), nullptr, {}});
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
void CDirectoryTree::AddDirectory(const std::wstring& path, const ScanHook& hook) {
    if (!m_recursive) {
        auto scanned = std::make_unique<CDirectory>(path);
        if (hook) hook(*scanned);
        m_complete = scanned->IsComplete();
        if (!m_complete) {
            m_incompletePath = scanned->m_path;
            m_incompleteError = scanned->m_listError;
        }
        if (scanned->HasEntries()) m_directories.push_back(std::move(scanned));
        return;
    }
    ParallelScan scan(path, hook);
    BuildNode& root = scan.Run();
    auto keep = [this](BuildNode& node) {
        if (!node.directory->IsComplete() && m_complete) {
            m_complete = false;
            m_incompletePath = node.directory->m_path;
            m_incompleteError = node.directory->m_listError;
        }
        if (node.directory->HasEntries()) m_directories.push_back(std::move(node.directory));
    };
    keep(root);
    std::vector<std::pair<const BuildNode*, size_t>> stack{{&root, 0}};
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next == node->children.size()) {
            stack.pop_back();
            continue;
        }
        BuildNode* child = node->children[next++];
        keep(*child);
        stack.push_back({child, 0});  // `node` and `next` are not used past this point
    }
}

CTreeIterator CDirectoryTree::Begin() const {
    if (m_directories.empty()) return CTreeIterator();
    CTreeIterator cursor;
    cursor.m_tree = this;
    cursor.m_valid = true;
    cursor.m_directoryIndex = 0;
    cursor.m_position = CDirectoryIterator(m_directories.front().get());
    return cursor;
}

void CTreeIterator::Next() {
    if (AtEnd()) return;
    m_position.Next();
    if (m_position.IsValid()) return;
    const int count = static_cast<int>(m_tree->m_directories.size());
    while (!m_position.IsValid() && m_directoryIndex < count) {
        ++m_directoryIndex;
        if (m_directoryIndex < count)
            m_position = CDirectoryIterator(m_tree->m_directories[static_cast<size_t>(m_directoryIndex)].get());
    }
    if (!m_position.IsValid()) *this = CTreeIterator();
}

const WIN32_FIND_DATAW* CTreeIterator::GetFindData() const { return AtEnd() ? nullptr : m_position.GetFindData(); }

std::wstring CTreeIterator::GetFullPath() const { return m_position.GetFullPath(); }

std::wstring CTreeIterator::GetRelativePath() const {
    std::wstring full = GetFullPath();
    if (full.empty() || m_tree == nullptr) return std::wstring();
    return full.substr(m_tree->m_root.size());
}
