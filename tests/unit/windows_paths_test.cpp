// Windows only: the long form every call below a root is made with, and lookups that see a folder's
// names as it holds them.
#include <windows.h>

#include "mirror/shell_op.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

std::wstring CurrentFolder() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    std::wstring folder(buffer, length);
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

TEST(WindowsPaths, RootsTakeTheLongFormOnce) {
    struct Row {
        const wchar_t* typed;
        std::wstring engine;
    };
    const Row rows[] = {
        {L"C:\\data", L"\\\\?\\C:\\data"},
        {L"C:\\data\\", L"\\\\?\\C:\\data"},
        {L"C:\\", L"\\\\?\\C:"},  // no separator at the end: paths below append their own
        {L"C:/data/./x/../y", L"\\\\?\\C:\\data\\y"},
        {L"D:\\backup.", L"\\\\?\\D:\\backup"},  // what the ordinary form meant: the dot is dropped
        {L"\\\\server\\share\\dir\\", L"\\\\?\\UNC\\server\\share\\dir"},
        {L"\\\\?\\D:\\data\\", L"\\\\?\\D:\\data"},  // typed in the long form: kept as typed
        {L"\\\\?\\D:\\a\\..\\notes.", L"\\\\?\\D:\\a\\..\\notes."},
        {L"relative\\dst", L"\\\\?\\" + CurrentFolder() + L"\\relative\\dst"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(FromWide(row.typed).string());
        EXPECT_EQ(LongFormRoot(row.typed), row.engine);
    }
    EXPECT_EQ(WithoutLongForm(L"\\\\?\\UNC\\server\\share\\dir"), L"\\\\server\\share\\dir");
    EXPECT_EQ(WithoutLongForm(L"\\\\?\\C:\\data"), L"C:\\data");
    EXPECT_TRUE(IsLongForm(L"\\\\?\\C:\\data"));
    EXPECT_FALSE(IsLongForm(L"C:\\data"));
}

TEST(WindowsPaths, OnlyAPathACallCanReachIsAddressable) {
    const std::wstring ordinary = L"C:\\" + std::wstring(MAX_PATH - 4, L'a');  // MAX_PATH - 1 characters
    EXPECT_TRUE(CanAddress(ordinary));
    EXPECT_FALSE(CanAddress(ordinary + L"a"));
    EXPECT_TRUE(CanAddress(L"\\\\?\\" + ordinary + std::wstring(600, L'b')));
}

class WindowsLookups : public TempDirTest {};

TEST_F(WindowsLookups, ALookUpFindsTheNameTheFolderHolds) {
    const std::wstring folder = LongFormRoot(WPath("names"));
    ASSERT_TRUE(CreateFolders(folder));
    for (const wchar_t* name : {L"notes", L"notes.", L"Photos"}) {
        HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    struct Row {
        const wchar_t* asked;
        const wchar_t* found;  // null: not found
    };
    // Windows takes a lookup's name for a pattern, where "notes." also matches "notes".
    const Row rows[] = {{L"notes.", L"notes."}, {L"notes", L"notes"}, {L"NOTES.", L"notes."},
                        {L"photos", L"Photos"}, {L"notes..", nullptr},  {L"missing.", nullptr}};
    for (const Row& row : rows) {
        SCOPED_TRACE(FromWide(row.asked).string());
        WIN32_FIND_DATAW found;
        const bool there = LookUpEntry(folder + L"\\" + row.asked, found);
        EXPECT_EQ(there, row.found != nullptr);
        if (there && row.found != nullptr) {
            EXPECT_EQ(std::wstring(found.cFileName), row.found);
        } else if (!there) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        }
    }
    // The test folder's clean-up goes by ordinary paths, which cannot name "notes.".
    for (const wchar_t* name : {L"notes", L"notes.", L"Photos"}) DeleteFileW((folder + L"\\" + name).c_str());
}

}  // namespace
}  // namespace twinfold::test
