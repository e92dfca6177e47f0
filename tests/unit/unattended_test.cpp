#include "app/unattended.h"
#include "mirror/failure.h"
#include "mirror/passes.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

std::vector<std::wstring> Split(const std::wstring& text) {
    std::vector<std::wstring> args{L"twinfold"};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L' ', start);
        if (end == std::wstring::npos) end = text.size();
        if (end > start) args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

TEST(UnattendedCommandLineTest, DecisionTable) {
    struct Row {
        const wchar_t* commandText;
        bool unattended;
        const wchar_t* src;
        const wchar_t* dst;
        bool deletePass;
    };
    const Row rows[] = {
        {L"unattended SrcDir=C:\\a DstDir=D:\\b", true, L"C:\\a", L"D:\\b", true},
        {L"unattended SrcDir=C:\\a DstDir=D:\\b NoDelete", true, L"C:\\a", L"D:\\b", false},
        {L"unattended SrcDir=C:\\a DstDir=D:\\b keep NoDelete", true, L"C:\\a", L"D:\\b", true},
        {L"unattended SrcDir=C:\\a DstDir=D:\\b xNoDeletex", true, L"C:\\a", L"D:\\b", false},
        {L"unattended SrcDir=C:\\a", false, nullptr, nullptr, false},
        {L"SrcDir=C:\\a DstDir=D:\\b unattended", false, nullptr, nullptr, false},
        {L"unattended srcdir=C:\\a DstDir=D:\\b", false, nullptr, nullptr, false},
        {L"Unattended SrcDir=C:\\a DstDir=D:\\b", false, nullptr, nullptr, false},
        {L"x SrcDir=C:\\unattended DstDir=D:\\b", true, L"C:\\unattended", L"D:\\b", true},
        {L"unattended xSrcDir=C:\\a DstDir=D:\\b", true, L"=C:\\a", L"D:\\b", true},
        {L"unattended SrcDir= DstDir=/b", true, L"", L"/b", true},
        {L"", false, nullptr, nullptr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(FromWide(row.commandText).string());
        std::optional<UnattendedJob> job = ParseUnattendedCommandLine(row.commandText, Split(row.commandText));
        ASSERT_EQ(job.has_value(), row.unattended);
        if (!job) continue;
        EXPECT_EQ(job->srcRoot, row.src);
        EXPECT_EQ(job->dstRoot, row.dst);
        EXPECT_EQ(job->runDeletePass, row.deletePass);
    }
}

class UnattendedRunTest : public PassTest {
protected:
    UnattendedResult Run(const std::wstring& src, const std::wstring& dst, bool deletePass = true) {
        UnattendedJob job{src, dst, deletePass};
        return RunUnattended(job);
    }
};

TEST_F(UnattendedRunTest, MirrorsAndHonoursNoDelete) {
    WriteFile("src/a/b.txt", "b");
    WriteFile("dst/extra.txt", "x");
    UnattendedResult result = Run(WPath("src"), WPath("dst"), false);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ReadFile("dst/extra.txt"), "x");
    EXPECT_EQ(ReadFile("dst/a/b.txt"), "b");

    result = Run(WPath("src"), WPath("dst"));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

// The dialog runs one job after another in one process: a job's failure is its own.
TEST_F(UnattendedRunTest, AJobAfterAFailedOneStartsWithNoFailure) {
    WriteFile("src/a.txt", "a");
    const UnattendedResult failed = Run(WPath("src"), WPath("src/inside"));
    EXPECT_EQ(failed.exitCode, 1);
    ASSERT_TRUE(failed.failure.has_value());
    const UnattendedResult next = Run(WPath("src"), WPath("dst"));
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_FALSE(next.failure.has_value());
}

TEST_F(UnattendedRunTest, RefusesEmptyAndOverlappingRootsWithoutTouchingAnything) {
    WriteFile("src/inner/f.txt", "f");
    WriteFile("dst/extra.txt", "x");
    const TreeListing before = ListTree(root_);
    struct Row {
        std::wstring src, dst;
        RootsCheck expected;
    };
    const Row rows[] = {
        {L"", WPath("dst"), RootsCheck::emptyRoot},
        {WPath("src"), L"", RootsCheck::emptyRoot},
        {WPath("src"), L"  ", RootsCheck::emptyRoot},
        {WPath("src"), WPath("src/inner/copy"), RootsCheck::overlapping},  // destination inside the source
        {WPath("src/inner"), WPath("src"), RootsCheck::overlapping},       // source inside the destination
        {WPath("src/inner"), WPath("src/inner") + kPathSeparator + L"..", RootsCheck::overlapping},
        // Windows names ignore case, so SRC is the source's own parent there; on POSIX it is another folder.
        {WPath("src/inner"), WPath("SRC"), kNamesIgnoreCase ? RootsCheck::overlapping : RootsCheck::ok},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(FromWide(row.src + L" -> " + row.dst).string());
        if (row.expected == RootsCheck::ok) {
            EXPECT_EQ(CheckRoots(row.src, row.dst), RootsCheck::ok);
            continue;
        }
        UnattendedResult result = Run(row.src, row.dst);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.roots, row.expected);
        EXPECT_EQ(ListTree(root_), before);
    }
}

TEST_F(UnattendedRunTest, SourceThatIsNoFolderIsRefusedButAnEmptyOneChangesNothing) {
    WriteFile("file.txt", "f");
    WriteFile("dst/extra.txt", "x");
    MakeDir("empty");
    const TreeListing before = ListTree(root_);
    for (const char* source : {"missing", "file.txt", "file.txt/sub"}) {
        SCOPED_TRACE(source);
        const UnattendedResult result = Run(WPath(source), WPath("dst"));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.roots, RootsCheck::sourceNotFolder);
    }
    const UnattendedResult result = Run(WPath("empty"), WPath("dst"));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ListTree(root_), before);
}

TEST_F(UnattendedRunTest, SameFolderOnBothSidesIsAllowedAndChangesNothing) {
    WriteFile("src/f.txt", "f");
    const TreeListing before = ListTree(root_);
    UnattendedResult result = Run(WPath("src"), WPath("src") + kPathSeparator);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.roots, RootsCheck::ok);
    EXPECT_EQ(ListTree(root_), before);
}

TEST_F(UnattendedRunTest, SiblingWithACommonPrefixIsNotInside) {
    WriteFile("data/f.txt", "f");
    UnattendedResult result = Run(WPath("data"), WPath("data-backup"));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ReadFile("data-backup/f.txt"), "f");
}

}  // namespace
}  // namespace twinfold::test
