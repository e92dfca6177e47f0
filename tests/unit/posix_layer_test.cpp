// Tests of the POSIX stand-in for the Win32 calls: names survive any bytes, listings report what is
// on disk, replacing and removing never lose data, and failures reach the engine as the right error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/posix_crew.h"
#include "platform/posix_text.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

constexpr char kTempPrefix[] = ".twinfold-tmp-";

// Clears any fault rule when a test ends, however it ends.
struct FaultScope {
    explicit FaultScope(const std::string& rule) {
        fault::Rule parsed;
        EXPECT_TRUE(fault::ParseRule(rule, parsed)) << rule;
        fault::Install(parsed);
    }
    explicit FaultScope(fault::Rule rule) { fault::Install(std::move(rule)); }
    ~FaultScope() { fault::Clear(); }
};

using Listing = std::map<std::wstring, WIN32_FIND_DATAW>;

// Lists a directory through FindFirstFileW/FindNextFileW; a name reported twice fails the test.
Listing List(const std::wstring& dir) {
    Listing listing;
    WIN32_FIND_DATAW record;
    HANDLE handle = FindFirstFileW((dir + kListPattern).c_str(), &record);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    if (handle == INVALID_HANDLE_VALUE) return listing;
    do {
        EXPECT_TRUE(listing.emplace(record.cFileName, record).second) << "reported twice";
    } while (FindNextFileW(handle, &record));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(handle);
    return listing;
}

// Looks up one entry; the handle must yield nothing more.
bool LookUp(const std::wstring& path, WIN32_FIND_DATAW& record) {
    HANDLE handle = FindFirstFileW(path.c_str(), &record);
    if (handle == INVALID_HANDLE_VALUE) return false;
    WIN32_FIND_DATAW more;
    EXPECT_FALSE(FindNextFileW(handle, &more));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(handle);
    return true;
}

DWORD LookUpError(const std::wstring& path) {
    WIN32_FIND_DATAW record;
    EXPECT_FALSE(LookUp(path, record)) << FromWide(path);
    return GetLastError();
}

unsigned long long Size(const WIN32_FIND_DATAW& record) {
    return (static_cast<unsigned long long>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}

std::vector<std::string> TempFilesIn(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kTempPrefix, 0) == 0) found.push_back(name);
    }
    return found;
}

int ShellOp(UINT func, const std::wstring& from, const std::wstring& to = std::wstring()) {
    const std::wstring fromList = from + L'\0';  // the second terminator comes from c_str()
    const std::wstring toList = to + L'\0';
    SHFILEOPSTRUCTW op{};
    op.wFunc = func;
    op.pFrom = fromList.c_str();
    op.pTo = to.empty() ? nullptr : toList.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_NOCONFIRMMKDIR;
    op.fAnyOperationsAborted = TRUE;
    const int result = SHFileOperationW(&op);
    EXPECT_FALSE(op.fAnyOperationsAborted);
    return result;
}

void SetMtime(const fs::path& path, time_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

struct timespec Mtime(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mtim;
}

mode_t Mode(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// ---- names ----

TEST(PosixText, AnyByteStringSurvivesTheRoundTrip) {
    struct Case {
        const char* label;
        std::string bytes;
        std::wstring wide;  // empty: only the round trip is checked
    };
    const Case cases[] = {
        {"ascii", "plain.txt", L"plain.txt"},
        {"two-byte", "caf\xC3\xA9", L"caf\u00E9"},
        {"four-byte", "\xF0\x9F\x98\x80", L"\U0001F600"},
        {"lone high byte", "a\xFF" "b", {L'a', static_cast<wchar_t>(0xDCFF), L'b'}},
        {"overlong slash", "\xC0\xAF", {static_cast<wchar_t>(0xDCC0), static_cast<wchar_t>(0xDCAF)}},
        {"overlong three-byte", "\xE0\x80\xAF", {static_cast<wchar_t>(0xDCE0), static_cast<wchar_t>(0xDC80),
                                                 static_cast<wchar_t>(0xDCAF)}},
        {"encoded surrogate", "\xED\xA0\x80", {static_cast<wchar_t>(0xDCED), static_cast<wchar_t>(0xDCA0),
                                               static_cast<wchar_t>(0xDC80)}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", {}},
        {"truncated", "x\xE2\x82", {L'x', static_cast<wchar_t>(0xDCE2), static_cast<wchar_t>(0xDC82)}},
        {"escape-looking bytes", "\xED\xB2\x80", {}},  // the UTF-8 form of U+DC80 itself
        {"backslash and star", "a\\b*.*", L"a\\b*.*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring wide = WideFromBytes(c.bytes);
        if (!c.wide.empty()) {
            EXPECT_EQ(wide, c.wide);
        }
        EXPECT_EQ(BytesFromWide(wide), c.bytes);
    }

    std::mt19937 random(12345);
    for (int i = 0; i < 2000; ++i) {
        std::string bytes(random() % 24, '\0');
        for (char& b : bytes) b = static_cast<char>(random() % 256);
        ASSERT_EQ(BytesFromWide(WideFromBytes(bytes)), bytes) << "case " << i;
    }
    // The listing wildcard is not '*' and no decoded name can contain it.
    EXPECT_NE(BytesFromWide(std::wstring(1, kWildcard)), "*");
    EXPECT_EQ(BytesFromWide(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xED\xA0\x80");
}

// ---- listing and lookup ----

class PosixFind : public TempDirTest {};

TEST_F(PosixFind, ListingReportsEveryEntryOnceWithItsAttributes) {
    const std::string longName(255, 'n');
    WriteFile("d/file.txt", "12345");
    WriteFile("d/*.*", "star");
    WriteFile("d/back\\slash", "b");
    WriteFile("d/bad\xFF\xFE", "raw");
    WriteFile("d/" + longName, "");
    WriteFile("d/readonly", "r");
    fs::permissions(Path("d/readonly"), fs::perms::owner_read | fs::perms::group_read);
    MakeDir("d/sub");
    SetMtime(Path("d/file.txt"), 1700000000, 123456789);

    const Listing listing = List(WPath("d"));
    ASSERT_EQ(listing.size(), 9u);  // six files, "sub", ".", ".." (and nothing twice)
    EXPECT_EQ(listing.at(L".").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(listing.at(L"..").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(listing.at(L"sub").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(listing.at(L"readonly").dwFileAttributes & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);

    const WIN32_FIND_DATAW& file = listing.at(L"file.txt");
    EXPECT_EQ(file.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), 0u);
    EXPECT_EQ(Size(file), 5u);
    const unsigned long long ticks = (1700000000ULL + 11644473600ULL) * 10000000ULL + 1234567ULL;
    EXPECT_EQ(file.ftLastWriteTime.dwLowDateTime, static_cast<DWORD>(ticks & 0xFFFFFFFFu));
    EXPECT_EQ(file.ftLastWriteTime.dwHighDateTime, static_cast<DWORD>(ticks >> 32));

    // Every reported name leads back to its own file.
    for (const auto& [name, record] : listing) {
        if (name == L"." || name == L".." || name == L"sub") continue;
        SCOPED_TRACE(BytesFromWide(name));
        EXPECT_TRUE(Exists("d/" + BytesFromWide(name)));
    }
    EXPECT_EQ(ReadFile("d/" + BytesFromWide(WideFromBytes("bad\xFF\xFE"))), "raw");

    // A file named "*.*" is looked up, not listed, when its name is given.
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(LookUp(WPath("d/*.*"), record));
    EXPECT_STREQ(record.cFileName, L"*.*");
    EXPECT_EQ(Size(record), 4u);
    ASSERT_TRUE(LookUp(WPath("d/" + longName), record));
    EXPECT_EQ(std::wcslen(record.cFileName), 255u);
}

TEST_F(PosixFind, SizesBeyondFourGigabytesAreReportedWhole) {
    const unsigned long long size = (5ULL << 30) + 3;
    const int fd = ::open(Path("big").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: no disk space used
    ::close(fd);
    EXPECT_EQ(Size(List(WPath("")).at(L"big")), size);
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(LookUp(WPath("big"), record));
    EXPECT_EQ(record.nFileSizeHigh, 1u);
    EXPECT_EQ(record.nFileSizeLow, (1u << 30) + 3);
}

TEST_F(PosixFind, EmptyAndMissingFolders) {
    MakeDir("empty");
    const Listing listing = List(WPath("empty"));
    EXPECT_EQ(listing.size(), 2u);
    EXPECT_TRUE(listing.count(L".") && listing.count(L".."));

    WIN32_FIND_DATAW record;
    EXPECT_EQ(FindFirstFileW((WPath("missing") + kListPattern).c_str(), &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // Only these two mean "no such entry" to the engine; anything else must not.
    EXPECT_EQ(LookUpError(WPath("empty/none")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LookUpError(WPath("missing/none")), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(LookUpError(L"/"), ERROR_INVALID_NAME);
    ASSERT_TRUE(LookUp(WPath("empty") + L"/", record));
    EXPECT_STREQ(record.cFileName, L"empty");
}

TEST_F(PosixFind, LookupsSeeEveryChangeTheLayerMade) {
    // Lookups in one folder reuse that folder's descriptor; the layer's own changes must show at once.
    WriteFile("d/f", "1");
    WriteFile("d/g", "22");
    WriteFile("e/h", "333");
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(LookUp(WPath("d/f"), record));
    ASSERT_TRUE(DeleteFileW(WPath("d/f").c_str()));
    EXPECT_EQ(LookUpError(WPath("d/f")), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(LookUp(WPath("d/g"), record));

    // The folder removed and another put in its place: lookups answer from the new one.
    ASSERT_EQ(ShellOp(FO_DELETE, WPath("d")), 0);
    EXPECT_EQ(LookUpError(WPath("d/g")), ERROR_PATH_NOT_FOUND);
    ASSERT_EQ(ShellOp(FO_COPY, WPath("e"), WPath("d")), 0);
    ASSERT_TRUE(LookUp(WPath("d/h"), record));
    EXPECT_EQ(Size(record), 3u);
    ASSERT_TRUE(CopyFileW(WPath("d/h").c_str(), WPath("e/h2").c_str(), FALSE));
    ASSERT_TRUE(LookUp(WPath("e/h2"), record));
    EXPECT_EQ(Size(record), 3u);

    // The folder moved away and another moved into its place: the same.
    WriteFile("other/h", "4444");
    ASSERT_TRUE(MoveFileExW(WPath("d").c_str(), WPath("old").c_str(), 0));
    ASSERT_TRUE(MoveFileExW(WPath("other").c_str(), WPath("d").c_str(), 0));
    ASSERT_TRUE(LookUp(WPath("d/h"), record));
    EXPECT_EQ(Size(record), 4u);
}

TEST_F(PosixFind, FoldersTooBigForOneReadAreListedCopiedAndRemovedWhole) {
    // Entries are read from the descriptor a buffer at a time: 3,000 long names take several reads.
    std::set<std::wstring> names;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = std::string(100, 'n') + std::to_string(i);
        WriteFile("big/" + name, std::to_string(i));
        names.insert(WideFromBytes(name));
    }
    Listing listing = List(WPath("big"));
    listing.erase(L".");
    listing.erase(L"..");
    std::set<std::wstring> listed;
    for (const auto& entry : listing) listed.insert(entry.first);
    EXPECT_EQ(listed, names);

    ASSERT_EQ(ShellOp(FO_COPY, WPath("big"), WPath("copy")), 0);
    EXPECT_EQ(ListTree(Path("copy")), ListTree(Path("big")));
    ASSERT_EQ(ShellOp(FO_DELETE, WPath("copy")), 0);
    EXPECT_FALSE(Exists("copy"));
}

TEST_F(PosixFind, LinksAreReportedAsLinksAndNeverFollowed) {
    if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
    WriteFile("target/inside", "x");
    WriteFile("file", "content");
    MakeDir("d");
    fs::create_directory_symlink("../target", Path("d/to-dir"));
    fs::create_symlink("../file", Path("d/to-file"));
    fs::create_symlink("nowhere", Path("d/dangling"));

    const Listing listing = List(WPath("d"));
    EXPECT_EQ(listing.at(L"to-dir").dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(listing.at(L"to-file").dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(listing.at(L"dangling").dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(Size(listing.at(L"to-file")), std::strlen("../file"));  // the link, not the file

    for (const std::wstring& path : {WPath("d/to-dir"), WPath("d/to-dir") + L"/"}) {
        WIN32_FIND_DATAW record;
        ASSERT_TRUE(LookUp(path, record));
        EXPECT_STREQ(record.cFileName, L"to-dir");
        EXPECT_EQ(record.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    }
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(LookUp(WPath("d/dangling"), record));
    EXPECT_EQ(record.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
}

// ---- the fault hook and the error vocabulary ----

TEST(PosixFault, RulesAreParsedStrictly) {
    struct Valid {
        const char* text;
        fault::Call call;
        unsigned nth;
        bool persistent;
        int error;
        const char* pathPart;
    };
    const Valid valid[] = {
        {"rename:3:ENOSPC", fault::Call::rename, 3, false, ENOSPC, ""},
        {"lookup:5+:EIO:/mnt/src", fault::Call::lookup, 5, true, EIO, "/mnt/src"},
        {"open:1:13", fault::Call::open, 1, false, EACCES, ""},
        {"list:2:ENOENT:a:b", fault::Call::list, 2, false, ENOENT, "a:b"},
        {"symlink:1+:EPERM", fault::Call::symlink, 1, true, EPERM, ""},
    };
    for (const Valid& v : valid) {
        SCOPED_TRACE(v.text);
        fault::Rule rule;
        ASSERT_TRUE(fault::ParseRule(v.text, rule));
        EXPECT_EQ(rule.call, v.call);
        EXPECT_EQ(rule.nth, v.nth);
        EXPECT_EQ(rule.persistent, v.persistent);
        EXPECT_EQ(rule.error, v.error);
        EXPECT_EQ(rule.pathPart, v.pathPart);
    }
    for (const char* text : {"", "rename", "rename:3", "rename:0:EIO", "rename:x:EIO", "bogus:1:EIO", "rename:1:ENOPE",
                             "rename:1:0", "rename:1:EIO:", "rename:-1:EIO", "rename:1+1:EIO", "rename:+:EIO",
                             "rename:99999999999:EIO", "Rename:1:EIO", "rename:1:99999"}) {
        SCOPED_TRACE(text);
        fault::Rule rule;
        rule.nth = 77;
        EXPECT_FALSE(fault::ParseRule(text, rule));
        EXPECT_EQ(rule.nth, 77u);  // left as it was
    }
}

class PosixErrors : public TempDirTest {};

TEST_F(PosixErrors, CountsOnlyMatchingUsesAndFailsTheNth) {
    WriteFile("src/a", "a");
    WriteFile("other/b", "b");
    WIN32_FIND_DATAW record;
    {
        FaultScope scope("lookup:2:EIO:/src/");
        EXPECT_TRUE(LookUp(WPath("other/b"), record));  // not counted
        EXPECT_TRUE(LookUp(WPath("src/a"), record));
        EXPECT_EQ(LookUpError(WPath("src/a")), ERROR_IO_DEVICE);
        EXPECT_TRUE(LookUp(WPath("src/a"), record));  // only the 2nd
        EXPECT_EQ(fault::MatchingUses(), 3u);
    }
    {
        FaultScope scope("lookup:2+:EACCES");
        EXPECT_TRUE(LookUp(WPath("src/a"), record));
        EXPECT_EQ(LookUpError(WPath("src/a")), ERROR_ACCESS_DENIED);
        EXPECT_EQ(LookUpError(WPath("src/a")), ERROR_ACCESS_DENIED);
    }
    {
        fault::Rule rule;
        rule.call = fault::Call::lookup;
        int runs = 0;
        rule.action = [&runs] { ++runs; };
        FaultScope scope(rule);
        EXPECT_TRUE(LookUp(WPath("src/a"), record));  // the action replaces the failure
        EXPECT_TRUE(LookUp(WPath("src/a"), record));
        EXPECT_EQ(runs, 1);
    }
    EXPECT_TRUE(LookUp(WPath("src/a"), record));
}

TEST_F(PosixErrors, InjectedErrnosMapLikeRealOnes) {
    // The delete pass deletes only on "file/path not found": no other failure may look like one.
    WriteFile("dir/entry", "x");
    struct Case {
        const char* errnoName;
        std::string path;
        DWORD expected;
    };
    const Case cases[] = {
        {"ENOENT", "dir/entry", ERROR_FILE_NOT_FOUND},
        {"ENOENT", "gone/entry", ERROR_PATH_NOT_FOUND},
        {"ENOTDIR", "dir/entry", ERROR_PATH_NOT_FOUND},
        {"EIO", "dir/entry", ERROR_IO_DEVICE},
        {"EACCES", "dir/entry", ERROR_ACCESS_DENIED},
        {"EPERM", "dir/entry", ERROR_ACCESS_DENIED},
        {"ENOSPC", "dir/entry", ERROR_DISK_FULL},
        {"ELOOP", "dir/entry", ERROR_CANT_RESOLVE_FILENAME},
        {"ENAMETOOLONG", "dir/entry", ERROR_FILENAME_EXCED_RANGE},
        {"EMFILE", "dir/entry", ERROR_TOO_MANY_OPEN_FILES},
        {"ENOMEM", "dir/entry", ERROR_NOT_ENOUGH_MEMORY},
        {"EFBIG", "dir/entry", ERROR_GEN_FAILURE},
        {"ESTALE", "dir/entry", ERROR_GEN_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.errnoName) + " on " + c.path);
        FaultScope scope(std::string("lookup:1:") + c.errnoName);
        EXPECT_EQ(LookUpError(WPath(c.path)), c.expected);
    }
    {
        FaultScope scope("list:1:EACCES");
        WIN32_FIND_DATAW record;
        EXPECT_EQ(FindFirstFileW((WPath("dir") + kListPattern).c_str(), &record), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    {
        // A listing that breaks off is a failure, never a short but complete-looking listing.
        FaultScope scope("list:2:EIO");
        WIN32_FIND_DATAW record;
        HANDLE handle = FindFirstFileW((WPath("dir") + kListPattern).c_str(), &record);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(FindNextFileW(handle, &record));  // ".."
        EXPECT_FALSE(FindNextFileW(handle, &record));
        EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
        FindClose(handle);
    }
}

// ---- copying and deleting ----

class PosixFileOps : public TempDirTest {};

TEST_F(PosixFileOps, CopyFileReplacesAtomicallyOrNotAtAll) {
    WriteFile("src", std::string(100000, 's'));
    fs::permissions(Path("src"), fs::perms(0640));
    SetMtime(Path("src"), 1600000000, 500);

    const std::pair<const char*, DWORD> failures[] = {
        {"open:1:EACCES", ERROR_ACCESS_DENIED},  // the source
        {"open:2:ENOSPC", ERROR_DISK_FULL},      // the temporary file
        {"read:1:EIO", ERROR_IO_DEVICE},
        {"write:1:ENOSPC", ERROR_DISK_FULL},
        {"rename:1:EIO", ERROR_IO_DEVICE},
    };
    for (const auto& [rule, error] : failures) {
        SCOPED_TRACE(rule);
        WriteFile("out/dst", "old content");
        FaultScope scope(rule);
        EXPECT_FALSE(CopyFileW(WPath("src").c_str(), WPath("out/dst").c_str(), FALSE));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(ReadFile("out/dst"), "old content");
        EXPECT_TRUE(TempFilesIn(Path("out")).empty());
    }

    ASSERT_TRUE(CopyFileW(WPath("src").c_str(), WPath("out/dst").c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(ReadFile("out/dst"), std::string(100000, 's'));
    EXPECT_EQ(Mode(Path("out/dst")), 0640u);
    EXPECT_EQ(Mtime(Path("out/dst")).tv_sec, 1600000000);
    EXPECT_EQ(Mtime(Path("out/dst")).tv_nsec, 500);
    EXPECT_TRUE(TempFilesIn(Path("out")).empty());

    // Refusals that must leave everything as it was.
    MakeDir("out/folder");
    WriteFile("out/folder/keep", "k");
    EXPECT_FALSE(CopyFileW(WPath("src").c_str(), WPath("out/folder").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFile("out/folder/keep"), "k");
    EXPECT_FALSE(CopyFileW(WPath("src").c_str(), WPath("out/dst").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(CopyFileW(WPath("none").c_str(), WPath("out/dst").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    // A FIFO is made anew in the file's place, never opened (which would hang).
    EXPECT_TRUE(CopyFileW(WPath("fifo").c_str(), WPath("out/dst").c_str(), FALSE));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(Path("out/dst"))));
    EXPECT_TRUE(TempFilesIn(Path("out")).empty());
}

TEST_F(PosixFileOps, ShellCopyCopiesATreeWithLinksAsLinks) {
    if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
    WriteFile("src/a/b/c.txt", "c");
    WriteFile("src/a/d.txt", "dd");
    MakeDir("src/e");
    fs::create_symlink("a/d.txt", Path("src/to-file"));
    fs::create_directory_symlink("a", Path("src/to-dir"));
    fs::create_symlink("nowhere", Path("src/dangling"));
    fs::permissions(Path("src/a"), fs::perms(0750));
    SetMtime(Path("src/a"), 1500000000, 0);

    ASSERT_EQ(ShellOp(FO_COPY, WPath("src"), WPath("x/y/copy")), 0) << GetLastError();
    EXPECT_EQ(ListTree(Path("x/y/copy")), ListTree(Path("src")));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("x/y/copy/to-dir"))));
    EXPECT_EQ(Mode(Path("x/y/copy/a")), 0750u);
    EXPECT_EQ(Mtime(Path("x/y/copy/a")).tv_sec, 1500000000);

    // A single link is copied as a link; a single file into a missing folder.
    ASSERT_EQ(ShellOp(FO_COPY, WPath("src/to-dir"), WPath("links/l")), 0);
    EXPECT_EQ(fs::read_symlink(Path("links/l")), "a");
    ASSERT_EQ(ShellOp(FO_COPY, WPath("src/a/d.txt"), WPath("one/two/d.txt")), 0);
    EXPECT_EQ(ReadFile("one/two/d.txt"), "dd");

    // An existing destination folder is merged into.
    WriteFile("merge/extra", "mine");
    ASSERT_EQ(ShellOp(FO_COPY, WPath("src/a"), WPath("merge")), 0);
    EXPECT_EQ(ReadFile("merge/extra"), "mine");
    EXPECT_EQ(ReadFile("merge/b/c.txt"), "c");
}

TEST(PosixCrew, TheOutcomeIsTheFirstFailureInTheOrderJobsWereAdded) {
    // Jobs 30 and 70 fail, and 70 fails first on another thread: job 30 waits for that (for two
    // seconds at most, where one thread runs them all). What one thread would have met first is
    // reported, and every job before it has run, once.
    posix::Crew crew;
    std::vector<std::atomic<int>> runs(100);
    std::atomic<bool> seventyFailed{false};
    for (int i = 0; i < 100; ++i) {
        crew.Add([i, &runs, &seventyFailed] {
            ++runs[i];
            if (i == 30) {
                for (int waited = 0; waited < 2000 && !seventyFailed; ++waited) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            if (i == 70) seventyFailed = true;
            return i == 30 || i == 70 ? posix::Fail(EIO, "job " + std::to_string(i)) : posix::Status{};
        });
    }
    const posix::Status outcome = crew.Finish();
    EXPECT_EQ(outcome.error, EIO);
    EXPECT_EQ(outcome.path, "job 30");
    for (int i = 0; i < 100; ++i) EXPECT_EQ(runs[i].load(), i <= 30 ? 1 : runs[i].load() & 1) << i;

    // The crew takes the next folder's jobs afresh: a batch that goes well is a success.
    std::atomic<int> done{0};
    for (int i = 0; i < 50; ++i) crew.Add([&done] { ++done; return posix::Status{}; });
    EXPECT_TRUE(crew.Finish().Ok());
    EXPECT_EQ(done.load(), 50);
}

TEST_F(PosixFileOps, AFolderCopiedSideBySideKeepsEveryFoldersBitsAndTimes) {
    // Files are copied by several threads; each folder's bits and times must still be set only once
    // everything in it is there, or the files written after would change its time again.
    for (int f = 0; f < 8; ++f) {
        const std::string folder = "src/f" + std::to_string(f);
        for (int i = 0; i < 40; ++i) WriteFile(folder + "/file" + std::to_string(i), std::string(i * 100, 'x'));
        WriteFile(folder + "/inner/last", "last");
        fs::permissions(Path(folder), fs::perms(0750));
        SetMtime(Path(folder + "/inner"), 1400000000 + f, 0);
        SetMtime(Path(folder), 1500000000 + f, 0);
    }
    ASSERT_EQ(ShellOp(FO_COPY, WPath("src"), WPath("copy")), 0) << GetLastError();
    EXPECT_EQ(ListTree(Path("copy")), ListTree(Path("src")));
    for (int f = 0; f < 8; ++f) {
        const std::string folder = "copy/f" + std::to_string(f);
        SCOPED_TRACE(folder);
        EXPECT_EQ(Mode(Path(folder)), 0750u);
        EXPECT_EQ(Mtime(Path(folder)).tv_sec, 1500000000 + f);
        EXPECT_EQ(Mtime(Path(folder + "/inner")).tv_sec, 1400000000 + f);
    }

    // One file that cannot be read fails the copy with its own path, whichever thread met it.
    FaultScope scope("open:1:EACCES:" + Path("src/f5/file7").string());
    EXPECT_EQ(ShellOp(FO_COPY, WPath("src"), WPath("again")), static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LastSystemError().path, WPath("src/f5/file7"));

    // A single file copied onto one that is there replaces it; onto a free name it is written there.
    WriteFile("one", "old");
    ASSERT_EQ(ShellOp(FO_COPY, WPath("src/f1/file3"), WPath("one")), 0);
    EXPECT_EQ(ReadFile("one"), std::string(300, 'x'));
    EXPECT_TRUE(TempFilesIn(root_).empty());
}

TEST_F(PosixFileOps, ShellCopyRefusesWhatWouldRecurseOrMislead) {
    WriteFile("src/f", "f");
    {
        // Should the refusal ever go missing, this stops the endless copy so the test fails quickly.
        FaultScope guard("mkdir:3+:EIO");
        EXPECT_NE(ShellOp(FO_COPY, WPath("src"), WPath("src/sub/copy")), 0);
        EXPECT_NE(ShellOp(FO_COPY, WPath("src"), Wide(root_ / "src/./../src/inner")), 0);
        EXPECT_FALSE(Exists("src/sub"));
        EXPECT_FALSE(Exists("src/inner"));
    }
    EXPECT_NE(ShellOp(FO_COPY, WPath("absent"), WPath("dst")), 0);
    EXPECT_FALSE(Exists("dst"));

    // Exactly one source path: none or two are refused.
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_COPY;
    const std::wstring two = WPath("src/f") + L'\0' + WPath("src/f") + L'\0';
    const std::wstring to = WPath("dst") + L'\0';
    op.pFrom = two.c_str();
    op.pTo = to.c_str();
    EXPECT_NE(SHFileOperationW(&op), 0);
    op.pFrom = L"\0";
    EXPECT_NE(SHFileOperationW(&op), 0);
    op.pFrom = to.c_str();
    op.wFunc = 0x0001;  // FO_MOVE is not offered
    EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists("dst"));

    FaultScope scope("mkdir:1:ENOSPC");
    EXPECT_EQ(ShellOp(FO_COPY, WPath("src"), WPath("full")), static_cast<int>(ERROR_DISK_FULL));
}

TEST_F(PosixFileOps, ShellDeleteNeverLeavesTheNamedFolder) {
    if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
    WriteFile("outside/precious", "p");
    WriteFile("tree/a/b/file", "x");
    WriteFile("tree/sub/f", "y");
    fs::create_directory_symlink(Path("outside"), Path("tree/a/link-out"));
    fs::create_directory_symlink(Path("outside"), Path("top-link"));

    // While "tree" is read, "tree/sub" is swapped for a link to the outside folder.
    fault::Rule swap;
    swap.call = fault::Call::list;
    swap.nth = 2;
    swap.pathPart = Path("tree").string();
    swap.action = [this] {
        fs::rename(Path("tree/sub"), Path("moved-sub"));
        fs::create_directory_symlink(Path("outside"), Path("tree/sub"));
    };
    {
        FaultScope scope(swap);
        ASSERT_EQ(ShellOp(FO_DELETE, WPath("tree")), 0) << GetLastError();
    }
    EXPECT_FALSE(Exists("tree"));
    EXPECT_EQ(ReadFile("outside/precious"), "p");

    ASSERT_EQ(ShellOp(FO_DELETE, WPath("top-link")), 0);  // the link, not what it leads to
    EXPECT_FALSE(Exists("top-link"));
    EXPECT_EQ(ReadFile("outside/precious"), "p");

    EXPECT_NE(ShellOp(FO_DELETE, Wide(root_ / "outside/..")), 0);
    EXPECT_NE(ShellOp(FO_DELETE, WPath("absent")), 0);
    {
        FaultScope scope("rmdir:1:EBUSY");
        EXPECT_EQ(ShellOp(FO_DELETE, WPath("moved-sub")), static_cast<int>(ERROR_BUSY));
    }
    EXPECT_EQ(ReadFile("outside/precious"), "p");

    // DeleteFileW removes files and links, never a folder.
    EXPECT_FALSE(DeleteFileW(WPath("outside").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fs::create_symlink(Path("outside/precious"), Path("file-link"));
    EXPECT_TRUE(DeleteFileW(WPath("file-link").c_str()));
    EXPECT_FALSE(Exists("file-link"));
    EXPECT_EQ(ReadFile("outside/precious"), "p");
    EXPECT_FALSE(DeleteFileW(WPath("file-link").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(PosixFileOps, ShellDeleteFollowsNoLinkSwappedInJustBeforeItEntersAFolder) {
    if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
    WriteFile("outside/precious", "p");
    WriteFile("tree/sub/f", "y");
    // The walk has seen tree/sub as a folder; it becomes a link to the outside folder before the open.
    fault::Rule swap;
    swap.call = fault::Call::open;
    swap.pathPart = Path("tree/sub").string();
    swap.action = [this] {
        fs::rename(Path("tree/sub"), Path("moved-sub"));
        fs::create_directory_symlink(Path("outside"), Path("tree/sub"));
    };
    {
        FaultScope scope(swap);
        EXPECT_EQ(ShellOp(FO_DELETE, WPath("tree")), 0) << GetLastError();
        EXPECT_EQ(fault::MatchingUses(), 1u) << "the swap happened";
    }
    EXPECT_FALSE(Exists("tree"));
    EXPECT_EQ(ReadFile("outside/precious"), "p");
    EXPECT_EQ(ReadFile("moved-sub/f"), "y");
}

TEST_F(PosixFileOps, ShellOperationsReportTheStepThatFailed) {
    // A step that fails part way through a folder fails the operation with its own error: never a
    // shorter folder reported whole, nor the "not empty" that a skipped step leads to later.
    WriteFile("tree/a", "a");
    WriteFile("tree/sub/b", "b");
    const std::string tree = Path("tree").string();
    struct Case {
        UINT func;
        std::string rule;
        DWORD expected;
    };
    const Case cases[] = {
        {FO_COPY, "list:2:EIO:" + tree, ERROR_IO_DEVICE},  // the first read of the folder's names
        {FO_DELETE, "list:2:EIO:" + tree, ERROR_IO_DEVICE},
        {FO_DELETE, "open:1:EACCES:" + tree, ERROR_ACCESS_DENIED},  // entering tree/sub
        {FO_DELETE, "unlink:1:EROFS:" + tree, ERROR_WRITE_PROTECT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        FaultScope scope(c.rule);
        EXPECT_EQ(ShellOp(c.func, WPath("tree"), c.func == FO_COPY ? WPath("copy") : std::wstring()),
                  static_cast<int>(c.expected));
        EXPECT_EQ(ReadFile("tree/sub/b"), "b");
    }
}

TEST_F(PosixFileOps, ShellDeleteStopsWhenAFolderAboveItWasMovedAway) {
    // Deeper than the walk keeps descriptors for, so the folders near the top are reopened as "..".
    std::string path = "tree";
    for (int i = 1; i <= 20; ++i) path += "/l" + std::to_string(i);
    WriteFile(path + "/f", "f");
    MakeDir("outside");
    // While the walk is at the bottom, tree/l1/l2/l3/l4 moves into the outside folder: climbing back
    // up from it would lead into that folder instead of tree/l1/l2/l3.
    fault::Rule move;
    move.call = fault::Call::list;
    move.pathPart = "/l20";
    move.action = [this] { fs::rename(Path("tree/l1/l2/l3/l4"), Path("outside/l4")); };
    {
        FaultScope scope(move);
        EXPECT_NE(ShellOp(FO_DELETE, WPath("tree")), 0);
    }
    EXPECT_TRUE(fs::is_directory(Path("outside/l4"))) << "nothing in the outside folder is removed";
    EXPECT_TRUE(fs::is_directory(Path("tree/l1/l2/l3")));
}

TEST_F(PosixFileOps, DeepTreesBeyondPathMaxAreCopiedAndDeleted) {
    // Built by descriptor: the full paths are too long for a single system call.
    const std::string name(120, 'd');
    const int depth = 45;  // about 5400 bytes of path
    int fd = ::open(Path("").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::mkdirat(fd, "deep", 0700), 0);
    int next = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0700), 0);
        next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        ASSERT_GE(fd, 0);
    }
    const int file = ::openat(fd, "bottom", O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::write(file, "end", 3), 3);
    ::close(file);
    ::close(fd);

    ASSERT_EQ(ShellOp(FO_COPY, WPath("deep"), WPath("copy")), 0) << GetLastError();
    fd = ::open(Path("copy").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    struct stat st {};
    EXPECT_EQ(::fstatat(fd, "bottom", &st, 0), 0);
    EXPECT_EQ(st.st_size, 3);
    ::close(fd);

    EXPECT_EQ(ShellOp(FO_DELETE, WPath("deep")), 0) << GetLastError();
    EXPECT_EQ(ShellOp(FO_DELETE, WPath("copy")), 0) << GetLastError();
    EXPECT_FALSE(Exists("deep"));
    EXPECT_FALSE(Exists("copy"));
}

// ---- profiles ----

class PosixProfile : public TempDirTest {
protected:
    std::wstring Get(const wchar_t* section, const wchar_t* key, DWORD size = 256) {
        std::vector<wchar_t> buffer(size + 1, L'#');
        const DWORD length = GetPrivateProfileStringW(section, key, L"dflt", buffer.data(), size, WPath("s.ini").c_str());
        EXPECT_EQ(length, std::wcslen(buffer.data()));
        return std::wstring(buffer.data(), length);
    }
    BOOL Put(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        return WritePrivateProfileStringW(section, key, value, WPath("s.ini").c_str());
    }
};

TEST_F(PosixProfile, ReadsWhatPeopleWrite) {
    WriteFile("s.ini",
              "\xEF\xBB\xBF; comment\r\n"
              "[Directories]\r\n"
              "  Src =  /home/me/src  \r\n"
              "Dst=\"  padded  \"\n"
              "# Src=/commented\n"
              "src=/second\n"
              "[options]\n"
              "Quoted='x'\n"
              "Half=\"x\n"
              "[Directories]\n"
              "Other=later\n");
    EXPECT_EQ(Get(L"directories", L"SRC"), L"/home/me/src");
    EXPECT_EQ(Get(L"Directories", L"Dst"), L"  padded  ");
    EXPECT_EQ(Get(L"OPTIONS", L"quoted"), L"x");
    EXPECT_EQ(Get(L"Options", L"Half"), L"\"x");
    EXPECT_EQ(Get(L"Options", L"Src"), L"dflt");
    EXPECT_EQ(Get(L"Directories", L"Other"), L"dflt");  // the first matching section wins
    EXPECT_EQ(Get(L"Nowhere", L"Src"), L"dflt");
    EXPECT_EQ(Get(nullptr, L"Src"), L"dflt");
    EXPECT_EQ(Get(L"Directories", L"Src", 4), L"/ho");

    wchar_t untouched = L'#';
    EXPECT_EQ(GetPrivateProfileStringW(L"Directories", L"Src", L"", &untouched, 0, WPath("s.ini").c_str()), 0u);
    EXPECT_EQ(untouched, L'#');
    EXPECT_EQ(GetPrivateProfileStringW(L"Directories", L"Src", nullptr, &untouched, 1, WPath("none.ini").c_str()), 0u);
    EXPECT_EQ(untouched, L'\0');
}

TEST_F(PosixProfile, WritesChangeOneValueAndKeepEverythingElse) {
    ASSERT_TRUE(Put(L"Directories", L"Src", L"/a"));
    ASSERT_TRUE(Put(L"Options", L"Flag", L"1"));
    ASSERT_TRUE(Put(L"Directories", L"Dst", L" spaced "));
    ASSERT_TRUE(Put(L"Directories", L"Quoted", L"\"q\""));
    EXPECT_EQ(Get(L"Directories", L"Src"), L"/a");
    EXPECT_EQ(Get(L"Directories", L"Dst"), L" spaced ");
    EXPECT_EQ(Get(L"Directories", L"Quoted"), L"\"q\"");
    EXPECT_EQ(Get(L"Options", L"Flag"), L"1");

    WriteFile("s.ini", "; keep me\r\n[Directories]\nSRC = /old\nSrc=/dup\n\n[Options]\nFlag=1\n");
    fs::permissions(Path("s.ini"), fs::perms(0640));
    ASSERT_TRUE(Put(L"directories", L"src", L"/new\xFF"));
    EXPECT_EQ(ReadFile("s.ini"),
              "; keep me\r\n[Directories]\nsrc=" + BytesFromWide(L"/new\xFF") + "\nSrc=/dup\n\n[Options]\nFlag=1\n");
    EXPECT_EQ(Get(L"Directories", L"Src"), L"/new\xFF");
    ASSERT_TRUE(Put(L"Directories", L"Added", L"v"));
    EXPECT_EQ(ReadFile("s.ini"), "; keep me\r\n[Directories]\nsrc=" + BytesFromWide(L"/new\xFF") +
                                     "\nSrc=/dup\nAdded=v\n\n[Options]\nFlag=1\n");
    EXPECT_EQ(Mode(Path("s.ini")), 0640u);

    // Text that would inject or hide lines is refused, and the file stays as it was.
    const std::string before = ReadFile("s.ini");
    for (const auto& [section, key, value] :
         {std::tuple{L"Directories", L"Src", L"a\nb"}, std::tuple{L"Dir\r", L"Src", L"v"},
          std::tuple{L"Directories", L"S\nrc", L"v"}, std::tuple{L"Dir]x", L"Src", L"v"},
          std::tuple{L"Directories", L"a=b", L"v"}, std::tuple{L"Directories", L";Src", L"v"}}) {
        SCOPED_TRACE(BytesFromWide(std::wstring(section) + L"/" + key));
        EXPECT_FALSE(Put(section, key, value));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(Put(L"Directories", L"Src", nullptr));
    EXPECT_EQ(ReadFile("s.ini"), before);

    for (const char* rule : {"rename:1:ENOSPC", "write:1:EIO", "read:1:EIO"}) {
        SCOPED_TRACE(rule);
        FaultScope scope(rule);
        EXPECT_FALSE(Put(L"Directories", L"Src", L"/lost"));
        EXPECT_EQ(ReadFile("s.ini"), before);
        EXPECT_TRUE(TempFilesIn(root_).empty());
    }
}

// ---- resolving roots ----

TEST_F(PosixFind, ResolveFullPathFollowsLinksAsFarAsThePathExists) {
    MakeDir("real/inner");
    const fs::path real = fs::canonical(Path("real"));
    EXPECT_EQ(ResolveFullPath(Wide(root_ / "real/./inner/..")), Wide(real));
    EXPECT_EQ(ResolveFullPath(Wide(root_ / "real/missing/../inner/new/./x/..")), Wide(real / "inner/new"));
    EXPECT_EQ(ResolveFullPath(L""), L"");
    if (SymlinksSupported(root_)) {
        fs::create_directory_symlink(Path("real/inner"), Path("link"));
        EXPECT_EQ(ResolveFullPath(WPath("link/more")), Wide(real / "inner/more"));
        EXPECT_EQ(ResolveFullPath(Wide(root_ / "link/..")), Wide(real));  // ".." of the target, as the kernel does
    }
    const std::wstring relative = ResolveFullPath(L".");
    EXPECT_EQ(relative, Wide(fs::canonical(fs::current_path())));
}

}  // namespace
}  // namespace twinfold::test

namespace twinfold::test {
namespace {

std::vector<std::string> Listed(const std::wstring& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW record;
    const std::wstring pattern = folder + twinfold::kListPattern;
    HANDLE search = FindFirstFileW(pattern.c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) return {"<" + std::to_string(GetLastError()) + ">"};
    do {
        const std::string name = FromWide(record.cFileName).string();
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &record));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// Below the roots of a pass, listings and lookups go through folders a thread keeps open: what they
// answer must still be what the paths name now, after the layer moved a folder away and made a new
// one in its place; and paths are taken apart as the kernel would, "." and ".." refused.
TEST_F(PosixFileOps, FoldersKeptOpenBelowTheRootsFollowTheLayersOwnMoves) {
    WriteFile("src/keep", "k");
    WriteFile("dst/a/b/old", "old");
    twinfold::PassRoots roots(WPath("src").c_str(), WPath("dst").c_str());
    EXPECT_EQ(Listed(WPath("dst/a/b")), std::vector<std::string>{"old"});

    ASSERT_TRUE(MoveFileExW(WPath("dst/a").c_str(), WPath("dst/moved").c_str(), 0)) << GetLastError();
    MakeDir("dst/a/b");
    ASSERT_TRUE(CopyFileW(WPath("src/keep").c_str(), WPath("dst/a/b/new").c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(Listed(WPath("dst/a/b")), std::vector<std::string>{"new"});
    EXPECT_EQ(Listed(WPath("dst/moved/b")), std::vector<std::string>{"old"});
    EXPECT_EQ(ReadFile("dst/a/b/new"), "k");

    // Repeated separators are one; names that only begin with dots are names like any other.
    const fs::path dotted = Path("dst/a/.b") / "..c";  // not a name the test helpers take
    fs::create_directories(dotted);
    std::ofstream(dotted / "f") << "dots";
    EXPECT_EQ(Listed(WPath("dst") + L"//a///.b//..c"), std::vector<std::string>{"f"});
    for (const wchar_t* odd : {L"/./a/b", L"/a/../a/b", L"/a/.././a"}) {
        SCOPED_TRACE(FromWide(odd).string());
        EXPECT_EQ(Listed(WPath("dst") + odd).front().front(), '<') << "listed";
    }
}

}  // namespace
}  // namespace twinfold::test

namespace twinfold::test {
namespace {

// Paths are narrowed sixteen plain characters at a time: a character beyond ASCII, or a byte kept
// from an undecodable name, at any place before, at or after a block's edge converts as it would alone.
TEST(PosixText, NamesConvertTheSameWhereverTheirFirstUnusualCharacterStands) {
    for (const std::string& odd : {std::string("\xc3\xa9"), std::string("\xff")}) {
        for (std::size_t at = 0; at <= 40; ++at) {
            const std::string bytes = std::string(at, 'a') + odd + std::string(40 - at, 'b');
            SCOPED_TRACE(at);
            EXPECT_EQ(BytesFromWide(WideFromBytes(bytes)), bytes);
        }
    }
}

}  // namespace
}  // namespace twinfold::test
