#include "tree/directory_tree.h"

#include <cstring>

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

CDirectory::CDirectory(const std::wstring& path) : m_path(path) {
    WIN32_FIND_DATAW record;
    {
        ScopedFindHandle search(FindFirstFileW((m_path + twinfold::kListPattern).c_str(), &record));
        if (search.IsValid()) {
            do {
                if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (!IsDotOrDotDot(record.cFileName)) m_subdirs.push_back(record);
                } else {
                    m_files.push_back(record);
                }
            } while (FindNextFileW(search.Get(), &record));
            // Anything but the normal end means the folder held more than was read.
            if (GetLastError() != ERROR_NO_MORE_FILES) m_complete = false;
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DIRECTORY)
            m_complete = false;
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

CDirectoryTree::CDirectoryTree(const std::wstring& root, Recursion recursion)
    : m_root(root), m_recursive(recursion == Recursion::yes) {
    AddDirectory(m_root);
}

// Builds the snapshot in pre-order. The descent is kept on an explicit stack rather than the call
// stack, so a very deep tree cannot overflow a worker thread's stack.
void CDirectoryTree::AddDirectory(const std::wstring& path) {
    auto scanned = std::make_unique<CDirectory>(path);
    if (!scanned->IsComplete()) m_complete = false;
    if (!scanned->HasEntries()) return;
    m_directories.push_back(std::move(scanned));
    if (!m_recursive) return;

    struct Pending {
        const CDirectory* directory;
        size_t nextSubdir;
    };
    std::vector<Pending> stack{{m_directories.back().get(), 0}};
    while (!stack.empty()) {
        Pending& top = stack.back();
        if (top.nextSubdir == top.directory->m_subdirs.size()) {
            stack.pop_back();
            continue;
        }
        const WIN32_FIND_DATAW& record = top.directory->m_subdirs[top.nextSubdir++];
        // A link to a folder is an entry of its parent, never a way out of the tree.
        if (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        std::wstring childPath = top.directory->m_path;
        childPath.push_back(twinfold::kPathSeparator);
        childPath.append(record.cFileName);
        auto child = std::make_unique<CDirectory>(childPath);
        if (!child->IsComplete()) m_complete = false;
        if (!child->HasEntries()) continue;
        m_directories.push_back(std::move(child));
        stack.push_back({m_directories.back().get(), 0});  // `top` is not used past this point
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
