#include <cstdint>

#include "mirror/size_text.h"
#include "mirror/verify.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

TEST(FormatSizeTest, TextForEachRangeAndBoundary) {
    struct Row {
        std::uint64_t bytes;
        const wchar_t* text;
    };
    const Row rows[] = {
        {0, L"0B"},
        {1023, L"1023B"},
        {1024, L"1024B"},  // equal to a unit stays in the range below
        {1025, L"1KB 1B"},
        {1536, L"1KB 512B"},
        {2048, L"2KB 0B"},
        {1048575, L"1023KB 1023B"},
        {1048576, L"1024KB 0B"},
        {1048577, L"1MB 0KB"},
        {1049599, L"1MB 0KB"},  // bytes below the smaller unit are dropped, not rounded
        {123456789, L"117MB 755KB"},
        {1073741824, L"1024MB 0KB"},
        {1610612736, L"1GB 512MB"},
        {4294967295ull, L"3GB 1023MB"},
        {1000000000000ull, L"931GB 330MB"},
        {1099511627777ull, L"1TB 0GB"},
        {1125899906842624ull, L"1024TB 0GB"},
        {1688849860263936ull, L"1PB 512TB"},
        {18446744073709551615ull, L"16383PB 1023TB"},
    };
    std::wstring text = L"previous content";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        FormatSize(text, row.bytes);
        EXPECT_EQ(text, row.text);
    }
}

class VerifyTest : public TempDirTest {
protected:
    void MakeSource(const std::string& root) {
        WriteFile(root + "/sub/one", std::string(1000, 'a'));
        WriteFile(root + "/sub/two", std::string(2000, 'b'));
        WriteFile(root + "/sub/three", std::string(3000, 'c'));
    }
    bool Verify(const std::string& src, const std::string& dst, std::wstring& text) {
        wchar_t buffer[kResultTextLength];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        bool verified = VerifyMirror(WPath(src).c_str(), WPath(dst).c_str(), buffer, kResultTextLength);
        text = buffer;
        return verified;
    }
};

TEST_F(VerifyTest, ExactCopyAndExtraFolderGiveTheTwoTexts) {
    MakeSource("src");
    MakeSource("dst");
    std::wstring text;
    EXPECT_TRUE(Verify("src", "dst", text));
    EXPECT_EQ(text, L"Operation successful!\n\nTotal Size: 5KB 880B\nNum Dirs: 1\nNum Files: 3");

    MakeDir("dst/extra");
    EXPECT_FALSE(Verify("src", "dst", text));
    EXPECT_EQ(text,
              L"Operation failed!\n\nSrc Size: 5KB 880B\nNum Dirs: 1\nNum Files: 3\n\n"
              L"Dst Size: 5KB 880B\nNum Dirs: 2\nNum Files: 3");
}

TEST_F(VerifyTest, OnlyTotalsAreCompared) {
    WriteFile("src/name-a", "12345");
    WriteFile("dst/name-b", "abcde");  // other name, other content, same totals
    std::wstring text;
    EXPECT_TRUE(Verify("src", "dst", text));
}

TEST_F(VerifyTest, MissingRootsTotalZero) {
    std::wstring text;
    EXPECT_TRUE(Verify("nothing", "neither", text));
    EXPECT_EQ(text, L"Operation successful!\n\nTotal Size: 0B\nNum Dirs: 0\nNum Files: 0");
}

TEST_F(VerifyTest, TotalsCountFilesFoldersAndFullSizes) {
    WriteFile("tree/a/b/file", "0123456789");
    MakeDir("tree/a/empty");
    TreeTotals totals;
    totals.numFiles = 99;
    ComputeTreeTotals(WPath("tree"), totals);
    EXPECT_EQ(totals, (TreeTotals{10, 3, 1}));

    WriteFile("single", "0123456789");
    ComputeTreeTotals(WPath("single"), totals);
    EXPECT_EQ(totals, (TreeTotals{10, 0, 1}));

    std::error_code ec;
    WriteFile("huge/file", "");
    fs::resize_file(Path("huge/file"), (1ull << 32) + 10, ec);
    if (ec) GTEST_SKIP() << "no sparse files here";
    ComputeTreeTotals(WPath("huge"), totals);
    EXPECT_EQ(totals.totalSize, (1ull << 32) + 10) << "a file of 4 GiB + 10 bytes is not 10 bytes";
}

TEST_F(VerifyTest, TextIsCutToTheBufferAndTerminated) {
    wchar_t small[10];
    VerifyMirror(WPath("a").c_str(), WPath("b").c_str(), small, 10);
    EXPECT_EQ(std::wstring(small), L"Operation");
}

}  // namespace
}  // namespace twinfold::test
