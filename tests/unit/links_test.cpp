// Links and races: whatever links the two trees hold, and whatever is swapped in while a job runs,
// a job never changes anything outside the destination, and nothing in the source.
#include <sys/stat.h>
#include <unistd.h>

#include "app/unattended.h"
#include "mirror/passes.h"
#include "platform/fault.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

class LinksTest : public PassTest {
protected:
    void SetUp() override {
        PassTest::SetUp();
        if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
        // A folder outside both roots, holding names that the trees hold too.
        WriteFile("outside/precious.txt", "precious");
        WriteFile("outside/docs/a.txt", "outside a");
        WriteFile("outside/sub/deep.txt", "deep");
        outside_ = ListTree(Path("outside"));
    }
    int Run() { return RunUnattended({WPath("src"), WPath("dst"), true}).exitCode; }
    ino_t Inode(const std::string& relative) const {
        struct stat st {};
        EXPECT_EQ(::lstat(Path(relative).c_str(), &st), 0) << relative;
        return st.st_ino;
    }

    TreeListing outside_;
};

TEST_F(LinksTest, SourceLinksAreMirroredAsLinksAndNeverFollowed) {
    WriteFile("src/real/file.txt", "real");
    fs::create_directory_symlink(Path("outside"), Path("src/out-dir"));
    fs::create_symlink(Path("outside/precious.txt"), Path("src/out-file"));
    fs::create_symlink("nowhere", Path("src/dangling"));
    fs::create_directory_symlink(".", Path("src/real/cycle"));
    fs::create_symlink("loop-b", Path("src/loop-a"));
    fs::create_symlink("loop-a", Path("src/loop-b"));
    WriteFile("src/hard1", "shared");
    fs::create_hard_link(Path("src/hard1"), Path("src/hard2"));
    fs::create_hard_link(Path("outside/precious.txt"), Path("src/hard-out"));
    const TreeListing source = ListTree(Path("src"));

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ListTree(Path("dst")), source);
    EXPECT_EQ(ListTree(Path("src")), source);
    EXPECT_EQ(ListTree(Path("outside")), outside_);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("dst/out-dir"))));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("dst/real/cycle"))));
    // Copies, not links to what the source's hard links share: writing to the mirror changes nothing else.
    EXPECT_NE(Inode("dst/hard-out"), Inode("outside/precious.txt"));
    EXPECT_NE(Inode("dst/hard1"), Inode("src/hard1"));

    // Every later run finds nothing to do and still touches nothing outside.
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ListTree(Path("dst")), source);
    EXPECT_EQ(ListTree(Path("outside")), outside_);
}

TEST_F(LinksTest, DestinationLinksAreRemovedOrReplacedWithoutTouchingTheirTargets) {
    WriteFile("src/keep.txt", "keep");
    WriteFile("src/replace.txt", "the source's longer content");
    WriteFile("src/sub/inside.txt", "inside");
    MakeDir("dst/sub");
    fs::create_directory_symlink(Path("outside"), Path("dst/extra-dir-link"));
    fs::create_symlink(Path("outside/precious.txt"), Path("dst/extra-file-link"));
    fs::create_symlink("nowhere", Path("dst/sub/dangling"));
    fs::create_directory_symlink("..", Path("dst/sub/cycle"));
    // Hard links into the outside folder: one the source replaces, one it lacks.
    fs::create_hard_link(Path("outside/precious.txt"), Path("dst/replace.txt"));
    fs::create_hard_link(Path("outside/sub/deep.txt"), Path("dst/sub/extra-hard"));
    // A link where the source has a file: replaced by the file, its target untouched.
    fs::create_symlink(Path("outside/docs/a.txt"), Path("dst/keep.txt"));
    const TreeListing source = ListTree(Path("src"));

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ListTree(Path("dst")), source);
    EXPECT_EQ(ListTree(Path("src")), source);
    EXPECT_EQ(ListTree(Path("outside")), outside_);
}

TEST_F(LinksTest, DestinationLinkWhereTheSourceHasAFolderIsAClashNotAWayOut) {
    WriteFile("src/docs/a.txt", "the source's a, another size");
    WriteFile("src/docs/new.txt", "new");
    WriteFile("src/later.txt", "later");
    MakeDir("dst");
    fs::create_directory_symlink(Path("outside/docs"), Path("dst/docs"));
    const TreeListing source = ListTree(Path("src"));

    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ListTree(Path("outside")), outside_);
    EXPECT_EQ(ListTree(Path("src")), source);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("dst/docs"))));
}

TEST_F(LinksTest, FolderSwappedForALinkBeforeItsRemovalIsNotFollowed) {
    WriteFile("src/keep.txt", "keep");
    WriteFile("dst/keep.txt", "keep");
    WriteFile("dst/extra.txt", "a loose extra file, removed first");
    // The folder to be removed holds the same names as the outside folder.
    WriteFile("dst/gone/a.txt", "a");
    WriteFile("dst/gone/inner/precious.txt", "mine");
    WriteFile("dst/gone/inner/docs/a.txt", "mine");
    WriteFile("dst/gone/inner/sub/deep.txt", "mine");
    const TreeListing moved = ListTree(Path("dst/gone/inner"));

    // After the comparison, at the first removal, gone/inner becomes a link to the outside folder.
    fault::Rule swap;
    swap.call = fault::Call::unlink;
    swap.nth = 1;
    swap.action = [this] {
        fs::rename(Path("dst/gone/inner"), Path("moved"));
        fs::create_directory_symlink(Path("outside"), Path("dst/gone/inner"));
    };
    fault::Install(swap);
    DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
    EXPECT_GE(fault::MatchingUses(), 1u) << "the swap happened";
    fault::Clear();

    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("outside")), outside_);
    EXPECT_EQ(ListTree(Path("moved")), moved) << "a folder moved out of the destination is no longer its business";
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

TEST_F(LinksTest, SourceFolderReplacedByALinkLeavesItsMirrorFolderEmptied) {
    WriteFile("src/keep.txt", "keep");
    WriteFile("src/x/a.txt", "a");
    WriteFile("src/x/sub/b.txt", "b");
    // Names that the outside folder holds too: nothing below a link counts as the source's.
    WriteFile("src/y/precious.txt", "mine");
    WriteFile("src/y/docs/a.txt", "mine");
    EXPECT_EQ(Run(), 0);

    // mv x t; ln -s t x, and y becomes a link out of the source.
    fs::rename(Path("src/x"), Path("src/t"));
    fs::create_directory_symlink("t", Path("src/x"));
    fs::remove_all(Path("src/y"));
    fs::create_directory_symlink(Path("outside"), Path("src/y"));
    const TreeListing source = ListTree(Path("src"));
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        g_cancelRequested = false;
        EXPECT_EQ(Run(), 0);
        // The copy pass leaves a real folder where the source has a link; the delete pass empties it.
        const TreeListing expected{{"keep.txt", "keep"}, {"t", "d"},     {"t/a.txt", "a"}, {"t/sub", "d"},
                                   {"t/sub/b.txt", "b"}, {"x", "d"}, {"y", "d"}};
        EXPECT_EQ(ListTree(Path("dst")), expected);
        EXPECT_EQ(ListTree(Path("src")), source);
        EXPECT_EQ(ListTree(Path("outside")), outside_);
    }
}

TEST_F(LinksTest, LinksAreComparedByWhatTheySayNotByTheirSize) {
    WriteFile("outside/bbbb", "b");
    MakeDir("src");
    MakeDir("dst");
    fs::create_symlink("aaaa", Path("src/file-link"));         // the destination's says "bbbb": same length
    fs::create_directory_symlink("docs", Path("src/dir-link"));  // the destination's says "subs"
    fs::create_symlink("target", Path("src/was-a-file"));       // the destination has a file there
    fs::create_symlink("target", Path("src/was-a-folder"));     // the destination has a real folder there
    fs::create_symlink("bbbb", Path("dst/file-link"));
    fs::create_directory_symlink("subs", Path("dst/dir-link"));
    WriteFile("dst/was-a-file", "123456");  // as long as the link's target text
    WriteFile("dst/was-a-folder/mine.txt", "mine");

    EXPECT_EQ(RunUnattended({WPath("src"), WPath("dst"), false}).exitCode, 0);
    EXPECT_EQ(fs::read_symlink(Path("dst/file-link")), "aaaa");
    EXPECT_EQ(fs::read_symlink(Path("dst/dir-link")), "docs");
    EXPECT_EQ(fs::read_symlink(Path("dst/was-a-file")), "target");
    EXPECT_EQ(ReadFile("dst/was-a-folder/mine.txt"), "mine") << "the copy pass never removes a folder";
    EXPECT_EQ(ReadFile("outside/bbbb"), "b");
}

TEST_F(LinksTest, ReparsePointsThatAreNoLinksAreWalkedAsFolders) {
    // "dedup" is reported as a reparse point of a kind that is no link, in both trees, as Windows
    // reports a deduplicated or cloud-backed folder: it must be entered and compared like any folder.
    WriteFile("src/dedup/new.txt", "new");
    WriteFile("src/dedup/inner/kept.txt", "kept");
    WriteFile("dst/dedup/inner/kept.txt", "kept");
    WriteFile("dst/dedup/extra.txt", "extra");
    fault::Install({fault::Call::reparse, 1, true, 0, "/dedup", nullptr});
    EXPECT_EQ(Run(), 0);
    EXPECT_GT(fault::MatchingUses(), 0u) << "entries were marked";
    fault::Clear();
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

}  // namespace
}  // namespace twinfold::test
