// The snapshot over a made-up listing. This file supplies FindFirstFileW, FindNextFileW, FindClose
// and the last-error pair: they serve a tree decoded from the input (names, directory and link bits, sizes,
// listings that cannot be opened or that fail halfway, lookups that fail), and count their handles.
// Every walk of CDirectoryTree must then yield exactly what the listings held, in its documented
// order, with consistent paths, and leave no search handle open. The snapshot scans folders on
// several threads, so these stand-ins keep the last error per thread, as the real ones do.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tree/directory_tree.h"

namespace {

// Bounds on the made-up tree, so that every input is decoded and walked quickly.
constexpr std::size_t kMaxNodes = 160;
constexpr int kMaxDepth = 40;
constexpr std::size_t kMaxChildren = 8;

struct Node {
    std::wstring name;
    std::wstring path;  // as the snapshot forms it: parent path, separator, name
    bool directory = false;
    bool link = false;                 // a reparse point: listed, never to be entered
    std::uint64_t size = 0;
    bool listingRefused = false;       // FindFirstFileW on its listing fails
    bool lookupRefused = false;        // FindFirstFileW on its own path fails
    std::size_t failAfter = SIZE_MAX;  // the listing breaks off after this many records
    int dotsAt = -1;                   // where "." and ".." stand in the listing; -1: absent
    std::vector<std::size_t> children;
    int depth = 0;
};

struct FakeTree {
    std::vector<Node> nodes;
    std::map<std::wstring, std::size_t> byPath;
};

FakeTree* g_tree = nullptr;  // read-only while a snapshot is built
std::atomic<int> g_openHandles{0};
thread_local DWORD t_lastError = ERROR_SUCCESS;
std::mutex g_listedMutex;
std::multiset<std::wstring> g_listed;  // the directories whose listing was asked for

// What every field the listing does not set holds, the reparse tag among them.
constexpr DWORD kUnsetField = 0xA5A5A5A5u;

WIN32_FIND_DATAW Record(const std::wstring& name, bool directory, bool link, std::uint64_t size) {
    WIN32_FIND_DATAW record;
    std::memset(&record, kUnsetField & 0xFF, sizeof record);  // the snapshot must not rely on fields left unset
    record.dwFileAttributes = (directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL) |
                              (link ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    FUZZ_REQUIRE(name.size() < MAX_PATH);
    std::wmemcpy(record.cFileName, name.c_str(), name.size() + 1);
    return record;
}

WIN32_FIND_DATAW Record(const Node& node) { return Record(node.name, node.directory, node.link, node.size); }

// The records a listing of `node` yields until it ends or breaks off.
std::vector<WIN32_FIND_DATAW> Listing(const Node& node) {
    std::vector<WIN32_FIND_DATAW> records;
    for (std::size_t i = 0; i <= node.children.size(); ++i) {
        if (static_cast<int>(i) == node.dotsAt) {
            records.push_back(Record(L".", true, false, 0));
            records.push_back(Record(L"..", true, false, 0));
        }
        if (i < node.children.size()) records.push_back(Record(g_tree->nodes[node.children[i]]));
    }
    if (records.size() > node.failAfter) records.resize(node.failAfter);
    return records;
}

struct Search {
    std::vector<WIN32_FIND_DATAW> records;
    std::size_t next = 0;
    bool brokenOff = false;  // the listing ends with an error rather than "no more files"
};

// Whether a listing of `node` breaks off with an error before its end.
bool BreaksOff(const Node& node) { return node.children.size() + (node.dotsAt >= 0 ? 2 : 0) > node.failAfter; }

std::wstring ChildPath(const std::wstring& parent, const std::wstring& name) {
    std::wstring path = parent;
    path.push_back(twinfold::kPathSeparator);
    return path + name;
}

std::wstring DecodeName(FuzzedDataProvider& input, const std::set<std::wstring>& taken) {
    const std::string bytes = input.ConsumeRandomLengthString(24);
    std::wstring name;
    for (unsigned char byte : bytes) {
        if (byte == 0 || byte == '/') continue;
        // Bytes above ASCII stand for code points far above it, as in names of any script.
        name.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(0x100 + byte * 97));
    }
    if (name.empty()) name = L"n";
    if (name == L"." || name == L"..") name += L"_";
    const std::wstring base = name;
    for (int suffix = 1; taken.count(name) != 0; ++suffix) name = base + std::to_wstring(suffix);
    return name;
}

void Decode(FuzzedDataProvider& input, FakeTree& tree, const std::wstring& root) {
    Node top;
    top.name = L"root";
    top.path = root;
    top.directory = true;
    tree.nodes.push_back(top);
    for (std::size_t index = 0; index < tree.nodes.size() && input.remaining_bytes() > 0; ++index) {
        if (!tree.nodes[index].directory) continue;
        {
            Node& dir = tree.nodes[index];
            const std::uint8_t flags = input.ConsumeIntegral<std::uint8_t>();
            dir.listingRefused = (flags & 0x07) == 0;
            dir.lookupRefused = (flags & 0x08) != 0;
            dir.dotsAt = (flags & 0x30) == 0 ? -1 : static_cast<int>((flags >> 6) % 3);
            if ((input.ConsumeIntegral<std::uint8_t>() & 0x0F) == 0) {
                dir.failAfter = input.ConsumeIntegralInRange<std::size_t>(0, kMaxChildren + 2);
            }
        }
        if (tree.nodes[index].link || tree.nodes[index].depth >= kMaxDepth) continue;
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, kMaxChildren);
        std::set<std::wstring> taken;
        for (std::size_t k = 0; k < count && tree.nodes.size() < kMaxNodes; ++k) {
            Node child;
            child.name = DecodeName(input, taken);
            taken.insert(child.name);
            child.path = ChildPath(tree.nodes[index].path, child.name);
            const std::uint8_t kind = input.ConsumeIntegral<std::uint8_t>();
            child.directory = (kind & 0x01) != 0;
            child.link = (kind & 0x06) == 0x06;
            child.lookupRefused = (kind & 0x08) != 0;
            child.size = child.directory ? 0 : input.ConsumeIntegral<std::uint64_t>();
            child.depth = tree.nodes[index].depth + 1;
            tree.nodes[index].children.push_back(tree.nodes.size());
            tree.nodes.push_back(child);
        }
    }
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) tree.byPath.emplace(tree.nodes[i].path, i);
}

const Node* Find(const std::wstring& path) {
    const auto found = g_tree->byPath.find(path);
    return found == g_tree->byPath.end() ? nullptr : &g_tree->nodes[found->second];
}

struct Expected {
    std::wstring fullPath;
    std::wstring name;
    bool directory;  // yielded in its directory's subdirectory turn
    std::uint64_t size;
    DWORD attributes;
};

// What a walk must yield, built recursively from the made-up tree: for each directory kept, its
// subdirectory records, then its other records; then, when recursive, each subdirectory that is not
// a link, in listing order. A root whose listing cannot be opened holds its own record, when that can
// be looked up; a folder below it that cannot be listed adds nothing. `complete` turns false for a
// listing refused or broken off by an error.
void Expect(const std::wstring& path, bool recursive, std::vector<Expected>& out, bool& complete,
            bool root = true) {
    const Node* node = Find(path);
    std::vector<WIN32_FIND_DATAW> subdirs, files;
    if (node != nullptr && node->directory && (node->listingRefused || BreaksOff(*node))) complete = false;
    // A listing that breaks off before its first record cannot be opened either.
    if (node != nullptr && node->directory && !node->listingRefused && !Listing(*node).empty()) {
        for (const WIN32_FIND_DATAW& record : Listing(*node)) {
            const std::wstring name = record.cFileName;
            if (!(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                files.push_back(record);
            } else if (name != L"." && name != L"..") {
                subdirs.push_back(record);
            }
        }
    } else if (root && node != nullptr && !node->lookupRefused) {
        files.push_back(Record(*node));
    }
    for (const WIN32_FIND_DATAW& record : subdirs)
        out.push_back({ChildPath(path, record.cFileName), record.cFileName, true, RecordSize(record),
                       record.dwFileAttributes});
    for (const WIN32_FIND_DATAW& record : files)
        out.push_back({ChildPath(path, record.cFileName), record.cFileName, false, RecordSize(record),
                       record.dwFileAttributes});
    if (!recursive) return;
    for (const WIN32_FIND_DATAW& record : subdirs) {
        if (!(record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            Expect(ChildPath(path, record.cFileName), true, out, complete, false);
    }
}

void CheckEnd(const CTreeIterator& cursor) {
    FUZZ_REQUIRE(cursor.AtEnd());
    FUZZ_REQUIRE(*cursor.Name() == L'\0');
    FUZZ_REQUIRE(cursor.Attributes() == 0 && cursor.ReparseTag() == 0 && cursor.Size() == 0);
    FUZZ_REQUIRE(cursor.GetFullPath().empty());
    FUZZ_REQUIRE(cursor.GetRelativePath().empty());
    FUZZ_REQUIRE(!cursor.IsDirectory());
}

void Walk(const std::wstring& root, Recursion recursion, std::size_t copyAt) {
    std::vector<Expected> expected;
    bool complete = true;
    Expect(root, recursion == Recursion::yes, expected, complete);

    g_listed.clear();
    CDirectoryTree tree(root, recursion);
    FUZZ_REQUIRE(g_openHandles == 0);  // every search was closed by the time the snapshot was built
    for (const std::wstring& path : g_listed) {
        FUZZ_REQUIRE(g_listed.count(path) == 1);  // no directory is listed twice
        const Node* node = Find(path);
        FUZZ_REQUIRE(node == nullptr || !node->link);  // links are never entered
    }
    FUZZ_REQUIRE(tree.Root() == root);
    // A snapshot that missed entries says so, and one that missed nothing does not claim otherwise.
    FUZZ_REQUIRE(tree.Complete() == complete);

    std::size_t step = 0;
    std::set<std::wstring> seen;
    CTreeIterator cursor = tree.Begin();
    for (; !cursor.AtEnd(); cursor.Next(), ++step) {
        FUZZ_REQUIRE(step < expected.size());  // also bounds the walk
        const Expected& want = expected[step];
        FUZZ_REQUIRE(want.name == cursor.Name());
        FUZZ_REQUIRE(cursor.Size() == want.size);
        FUZZ_REQUIRE(cursor.Attributes() == want.attributes);
        // The tag is kept for reparse points only: elsewhere the record's field means nothing.
        FUZZ_REQUIRE(cursor.ReparseTag() == (want.attributes & FILE_ATTRIBUTE_REPARSE_POINT ? kUnsetField : 0));
        FUZZ_REQUIRE(cursor.IsDirectory() == want.directory);
        const std::wstring full = cursor.GetFullPath();
        FUZZ_REQUIRE(full == want.fullPath);
        const std::wstring relative = cursor.GetRelativePath();
        FUZZ_REQUIRE(full.compare(0, root.size(), root) == 0 && relative == full.substr(root.size()));
        FUZZ_REQUIRE(!relative.empty() && relative[0] == twinfold::kPathSeparator);
        FUZZ_REQUIRE(seen.insert(full).second);
        // Its parent folder, when it is an entry of this walk too, came before it.
        const std::wstring parent = full.substr(0, full.size() - want.name.size() - 1);
        if (parent.size() > root.size()) FUZZ_REQUIRE(seen.count(parent) == 1);
        if (step == copyAt) {
            // A copy walks on its own to the same end; the original stays where it was.
            CTreeIterator copy = cursor;
            std::size_t rest = step;
            for (; !copy.AtEnd(); copy.Next()) FUZZ_REQUIRE(++rest <= expected.size());
            FUZZ_REQUIRE(rest == expected.size());
            CheckEnd(copy);
            FUZZ_REQUIRE(cursor.GetFullPath() == full);
        }
    }
    FUZZ_REQUIRE(step == expected.size());
    CheckEnd(cursor);
    cursor.Next();  // stepping past the end stays at the end
    CheckEnd(cursor);
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData) {
    FUZZ_REQUIRE(fileName != nullptr && findData != nullptr && g_tree != nullptr);
    const std::wstring path = fileName;
    const std::wstring pattern = twinfold::kListPattern;
    const bool listing = path.size() >= pattern.size() && path.compare(path.size() - pattern.size(), pattern.size(), pattern) == 0;
    auto search = std::make_unique<Search>();
    if (listing) {
        const std::wstring dirPath = path.substr(0, path.size() - pattern.size());
        {
            std::lock_guard<std::mutex> lock(g_listedMutex);
            g_listed.insert(dirPath);
        }
        const Node* node = Find(dirPath);
        if (node == nullptr || !node->directory || node->listingRefused) {
            SetLastError(node == nullptr ? ERROR_PATH_NOT_FOUND : !node->directory ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        search->records = Listing(*node);
        search->brokenOff = BreaksOff(*node);
    } else {
        const Node* node = Find(path);
        if (node == nullptr || node->lookupRefused) {
            SetLastError(node == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        search->records.push_back(Record(*node));
    }
    if (search->records.empty()) {
        // As on Windows: a listing without even "." finds nothing.
        SetLastError(search->brokenOff ? ERROR_IO_DEVICE : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *findData = search->records[search->next++];
    ++g_openHandles;
    return search.release();
}

// Asked for only when a pass needs names and kinds alone; full records tell those too.
HANDLE twinfold::FindFirstKinds(LPCWSTR pattern, WIN32_FIND_DATAW* record) { return FindFirstFileW(pattern, record); }

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findData) {
    FUZZ_REQUIRE(findFile != nullptr && findFile != INVALID_HANDLE_VALUE && findData != nullptr);
    auto* search = static_cast<Search*>(findFile);
    if (search->next >= search->records.size()) {
        SetLastError(search->brokenOff ? ERROR_IO_DEVICE : ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *findData = search->records[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE findFile) {
    FUZZ_REQUIRE(findFile != nullptr && findFile != INVALID_HANDLE_VALUE);
    FUZZ_REQUIRE(g_openHandles > 0);
    --g_openHandles;
    delete static_cast<Search*>(findFile);
    return TRUE;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }
twinfold::SystemError twinfold::LastSystemError() { return SystemError{t_lastError, 0, {}}; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    static const wchar_t* const kRoots[] = {L"/src", L"/src/", L"", L"/m/a b/\x00e9t\x00e9"};
    const std::wstring root = kRoots[input.ConsumeIntegral<std::uint8_t>() % 4];
    const std::size_t copyAt = input.ConsumeIntegral<std::uint8_t>();
    FakeTree tree;
    g_tree = &tree;
    Decode(input, tree, root);
    Walk(root, Recursion::yes, copyAt);
    Walk(root, Recursion::no, copyAt);
    g_tree = nullptr;
    return 0;
}
