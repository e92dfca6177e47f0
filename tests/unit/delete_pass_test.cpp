#include "mirror/failure.h"
#include "mirror/passes.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

#ifndef _WIN32
#include <cerrno>

#include "platform/fault.h"
#endif

namespace twinfold::test {
namespace {

class DeletePassTest : public PassTest {
protected:
    void SetUp() override {
        PassTest::SetUp();
        WriteFile("src/keep.txt", "k");
        WriteFile("src/docs/keep.txt", "k");
        MakeDir("src/emptykeep");
        WriteFile("dst/keep.txt", "k");
        WriteFile("dst/docs/keep.txt", "k");
        MakeDir("dst/emptykeep");
    }
    void Delete() { DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str()); }
    void AddExtras() {
        WriteFile("dst/extra.txt", "x");
        WriteFile("dst/docs/extra.txt", "x");
        WriteFile("dst/gone/a.txt", "a");
        WriteFile("dst/gone/nested/deeper/b.txt", "b");
        MakeDir("dst/gone/nested/empty");
    }
};

TEST_F(DeletePassTest, RemovesWhatTheSourceLacksIncludingNestedFolders) {
    AddExtras();
    Delete();
    EXPECT_FALSE(g_cancelRequested) << "a folder removed with its parent counts as removed";
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

TEST_F(DeletePassTest, SourceThatListsNothingNeverEmptiesTheDestination) {
    AddExtras();
    const TreeListing before = ListTree(Path("dst"));
    MakeDir("emptysrc");
    for (const char* source : {"emptysrc", "missing"}) {
        SCOPED_TRACE(source);
        DeletePass(PassRun(), WPath(source).c_str(), WPath("dst").c_str());
        EXPECT_FALSE(g_cancelRequested);
        EXPECT_EQ(ListTree(Path("dst")), before);
    }
}

TEST_F(DeletePassTest, SourceWithOnlyAnEmptyFolderPassesTheGuard) {
    MakeDir("onlydir/sub");
    DeletePass(PassRun(), WPath("onlydir").c_str(), WPath("dst").c_str());
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), TreeListing{});
}

TEST_F(DeletePassTest, NothingToDeleteAndSameRootChangeNothing) {
    const TreeListing before = ListTree(Path("dst"));
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), before);
    DeletePass(PassRun(), WPath("dst").c_str(), WPath("dst").c_str());
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), before);
}

TEST_F(DeletePassTest, EntryOfTheOtherTypeStays) {
    WriteFile("src/clash1", "file in source");
    MakeDir("dst/clash1");
    MakeDir("src/clash2");
    WriteFile("dst/clash2", "file in destination");
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_TRUE(fs::is_directory(Path("dst/clash1")));
    EXPECT_EQ(ReadFile("dst/clash2"), "file in destination");
}

TEST_F(DeletePassTest, CancelBeforeTheEndOfTheComparisonDeletesNothing) {
    AddExtras();
    const TreeListing before = ListTree(Path("dst"));
    g_cancelRequested = true;
    Delete();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), before);
}

TEST_F(DeletePassTest, AFolderGoesWithItsReadOnlyFilesAndFolders) {
    WriteFile("dst/gone/plain.txt", "p");
    WriteFile("dst/gone/locked.txt", "r");
    WriteFile("dst/gone/inner/deep/locked.txt", "r");
    WriteFile("dst/gone/sealed/locked.txt", "r");
    for (const char* file : {"dst/gone/locked.txt", "dst/gone/inner/deep/locked.txt", "dst/gone/sealed/locked.txt"}) {
        fs::permissions(Path(file), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
#ifdef _WIN32
    // A read-only folder: on POSIX the bits of a folder guard its entries, and root ignores them.
    SetFileAttributesW(WPath("dst/gone/sealed").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
#endif
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

#ifdef _WIN32
TEST_F(DeletePassTest, AFileInUseInsideAFolderStopsThePass) {
    WriteFile("dst/gone/a/in-use.txt", "busy");
    WriteFile("dst/later/b.txt", "b");
    // Held open by another program that lets nobody delete it.
    HANDLE busy = CreateFileW(WPath("dst/gone/a/in-use.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    Delete();
    CloseHandle(busy);
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/gone/a/in-use.txt"), "busy");
}
#endif

#ifndef _WIN32
TEST_F(DeletePassTest, FailedFileDeletionStopsBeforeAnyFolderIsRemoved) {
    AddExtras();
    fault::Install({fault::Call::unlink, 2, false, EACCES, "", nullptr});
    Delete();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_TRUE(Exists("dst/gone/nested/empty"));
    EXPECT_TRUE(Exists("dst/keep.txt"));
}

TEST_F(DeletePassTest, FailedFolderRemovalStopsThePass) {
    AddExtras();
    WriteFile("dst/gone2/c.txt", "c");
    fault::Install({fault::Call::rmdir, 1, false, EACCES, "", nullptr});
    Delete();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_TRUE(Exists("dst/gone")) << "the failed one";
    EXPECT_TRUE(Exists("dst/gone2")) << "the pass went on after the failure";
}

TEST_F(DeletePassTest, UnreadableSourceDeletesNothing) {
    for (int error : {EIO, EACCES}) {
        SCOPED_TRACE(error);
        AddExtras();
        const TreeListing before = ListTree(Path("dst"));
        // Source lookups work for a while, then the source stops answering.
        fault::Install({fault::Call::lookup, 3, true, error, Path("src").string(), nullptr});
        Delete();
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ListTree(Path("dst")), before);
        fault::Clear();
        g_cancelRequested = false;
    }
}

TEST_F(DeletePassTest, ListingThatBreaksOffIsAFailure) {
    AddExtras();
    const TreeListing before = ListTree(Path("dst"));
    // The source root's listing breaks off at its first entry: not an empty source, a failed pass.
    fault::Install({fault::Call::list, 2, false, EIO, Path("src").string(), nullptr});
    Delete();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), before);
    fault::Clear();
    g_cancelRequested = false;
    ClearRunFailure();

    // The destination's docs folder cannot be listed: the pass deletes nothing, and fails naming it.
    fault::Install({fault::Call::list, 2, false, EIO, Path("dst/docs").string(), nullptr});
    Delete();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), before);
    ASSERT_TRUE(FirstFailure().has_value());
    EXPECT_EQ(FirstFailure()->path, WPath("dst/docs"));
}

TEST_F(DeletePassTest, NotFoundFromTheSourceStillMeansMissing) {
    AddExtras();
    fault::Install({fault::Call::lookup, 1, true, ENOENT, Path("src").string() + "/docs", nullptr});
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    // Every lookup below src/docs said "no such entry": its destination counterparts went away.
    EXPECT_FALSE(Exists("dst/docs"));
    EXPECT_TRUE(Exists("dst/keep.txt"));
}

TEST_F(DeletePassTest, SourceFolderVanishingDuringTheComparisonCountsAsMissing) {
    AddExtras();
    const fs::path docs = Path("src/docs");
    fault::Install({fault::Call::lookup, 1, false, 0, "", [docs] { fs::remove_all(docs); }});
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_FALSE(Exists("dst/docs/keep.txt"));
    EXPECT_FALSE(Exists("dst/extra.txt"));
    EXPECT_TRUE(Exists("dst/keep.txt"));
}

TEST_F(DeletePassTest, KindsAndNamesFromTheListingsAloneDecideWhatGoes) {
    WriteFile("outside/precious.txt", "p");
    MakeDir("src/linked");
    for (const bool untyped : {false, true}) {
        SCOPED_TRACE(untyped ? "kinds not listed" : "kinds listed");
        // A link where the source has a folder is compared as itself, never entered; a name that
        // differs from the source's only in case is another name.
        fs::create_directory_symlink(Path("outside"), Path("dst/linked"));
        fs::create_directory_symlink(Path("outside"), Path("dst/gonelink"));
        WriteFile("dst/gone/inner/x.txt", "x");
        WriteFile("dst/KEEP.txt", "k");
        WriteFile("dst/Docs/keep.txt", "k");
        if (untyped) fault::Install({fault::Call::untyped, 1, true, 0, "", nullptr});
        Delete();
        EXPECT_FALSE(g_cancelRequested);
        TreeListing expected = ListTree(Path("src"));
        expected.erase("linked");
        expected["linked"] = "l:" + Path("outside").string();
        EXPECT_EQ(ListTree(Path("dst")), expected);
        EXPECT_EQ(ReadFile("outside/precious.txt"), "p");
        fs::remove(Path("dst/linked"));
    }
}

TEST_F(DeletePassTest, LinksAreRemovedWithoutTouchingWhatTheyPointAt) {
    WriteFile("outside/precious.txt", "p");
    fs::create_directory_symlink(Path("outside"), Path("dst/linkdir"));
    fs::create_symlink(Path("outside/precious.txt"), Path("dst/linkfile"));
    WriteFile("dst/gone/x.txt", "x");
    fs::create_directory_symlink(Path("outside"), Path("dst/gone/inner"));
    Delete();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_FALSE(Exists("dst/linkdir"));
    EXPECT_FALSE(Exists("dst/linkfile"));
    EXPECT_FALSE(Exists("dst/gone"));
    EXPECT_EQ(ReadFile("outside/precious.txt"), "p");
}
#endif

}  // namespace
}  // namespace twinfold::test
