#include <fstream>

#include "mirror/passes.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

#ifndef _WIN32
#include <cerrno>

#include "platform/fault.h"
#endif

namespace twinfold::test {
namespace {

class CopyPassTest : public PassTest {
protected:
    void Copy() { CopyPass(WPath("src").c_str(), WPath("dst").c_str(), Silent::yes); }

    void MakeSource() {
        WriteFile("src/top.txt", "top");
        WriteFile("src/docs/a.txt", "alpha");
        WriteFile("src/docs/deep/b.txt", "bravo!");
        MakeDir("src/empty");
    }
};

TEST_F(CopyPassTest, FillsAMissingDestinationExactly) {
    MakeSource();
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

TEST_F(CopyPassTest, ReplacesOnlyFilesWhoseSizeDiffers) {
    MakeSource();
    WriteFile("dst/top.txt", "TOP");              // same size, other content: left alone
    WriteFile("dst/docs/a.txt", "stale, longer");  // other size: replaced
    WriteFile("dst/extra.txt", "mine");           // not in the source: the copy pass never deletes
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/top.txt"), "TOP");
    EXPECT_EQ(ReadFile("dst/docs/a.txt"), "alpha");
    EXPECT_EQ(ReadFile("dst/docs/deep/b.txt"), "bravo!");
    EXPECT_EQ(ReadFile("dst/extra.txt"), "mine");
    EXPECT_TRUE(Exists("dst/empty"));
}

TEST_F(CopyPassTest, EmptyMissingOrIdenticalSourceCopiesNothing) {
    MakeDir("src");
    Copy();
    EXPECT_FALSE(Exists("dst"));
    CopyPass(WPath("nowhere").c_str(), WPath("dst").c_str(), Silent::yes);
    EXPECT_FALSE(Exists("dst"));
    EXPECT_FALSE(g_cancelRequested);

    MakeSource();
    const TreeListing before = ListTree(Path("src"));
    CopyPass(WPath("src").c_str(), WPath("src").c_str(), Silent::yes);
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("src")), before);
}

TEST_F(CopyPassTest, SizesDifferingByFourGibibytesStillDiffer) {
    WriteFile("src/big.bin", "0123456789");
    WriteFile("dst/big.bin", "");
    {
        // A sparse destination file of 4 GiB + 10 bytes has the same low 32 bits of size.
        std::error_code ec;
        fs::resize_file(Path("dst/big.bin"), (1ull << 32) + 10, ec);
        if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
    }
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(fs::file_size(Path("dst/big.bin")), 10u);
}

TEST_F(CopyPassTest, CancelTakesEffectAfterTheNextCopy) {
    WriteFile("src/same.txt", "s");
    WriteFile("dst/same.txt", "s");
    g_cancelRequested = true;
    Copy();  // only unchanged entries: the walk ends without a copy, the flag stays set
    EXPECT_TRUE(g_cancelRequested);

    WriteFile("src/one.txt", "1");
    WriteFile("src/two.txt", "2");
    WriteFile("src/three.txt", "3");
    Copy();
    int copied = 0;
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) copied += Exists(std::string("dst/") + name);
    EXPECT_EQ(copied, 1);
    EXPECT_TRUE(g_cancelRequested);
}

TEST_F(CopyPassTest, TypeClashesStopThePass) {
    {
        SCOPED_TRACE("source folder where the destination has a file");
        WriteFile("src/thing/inside.txt", "x");
        WriteFile("dst/thing", "a file");
        Copy();
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ReadFile("dst/thing"), "a file");
    }
    g_cancelRequested = false;
    {
        SCOPED_TRACE("source file where the destination has a folder");
        WriteFile("src2/clash", "some bytes");
        WriteFile("dst2/clash/keep.txt", "k");
        CopyPass(WPath("src2").c_str(), WPath("dst2").c_str(), Silent::yes);
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ReadFile("dst2/clash/keep.txt"), "k");
    }
}

TEST_F(CopyPassTest, RootsWithTrailingSeparatorsWork) {
    MakeSource();
    CopyPass((WPath("src") + kPathSeparator).c_str(), (WPath("dst") + kPathSeparator).c_str(), Silent::yes);
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

#ifndef _WIN32
TEST_F(CopyPassTest, FailedCopyStopsAtOnceAndKeepsWhatWasDone) {
    WriteFile("src/a.txt", "new a");
    WriteFile("src/b.txt", "new b");
    WriteFile("src/c.txt", "new c");
    WriteFile("dst/a.txt", "old");
    WriteFile("dst/b.txt", "old");
    WriteFile("dst/c.txt", "old");
    // The second replacement's rename fails as on a full disk.
    fault::Install({fault::Call::rename, 2, false, ENOSPC, "", nullptr});
    Copy();
    EXPECT_TRUE(g_cancelRequested);
    int replaced = 0, kept = 0;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        const std::string content = ReadFile(std::string("dst/") + name);
        replaced += content.rfind("new", 0) == 0;
        kept += content == "old";
    }
    EXPECT_EQ(replaced, 1);  // the one before the failure stays copied
    EXPECT_EQ(kept, 2);      // the failed one is untouched, the last one never reached
    EXPECT_EQ(ListTree(Path("dst")).size(), 3u) << "no temporary file left behind";
}

TEST_F(CopyPassTest, EveryFileIsWrittenOnceThoughLookupsAreMadeAhead) {
    // The destination is looked up while the source is scanned, before anything is copied. Once a
    // folder has been copied whole, the answers "missing" for the entries inside it are stale: using
    // them would copy each of those files a second time.
    MakeSource();
    for (int i = 0; i < 20; ++i) WriteFile("src/docs/deep/more/f" + std::to_string(i), std::to_string(i));
    WriteFile("src/kept/same.txt", "same");
    WriteFile("src/kept/grown.txt", "grown");
    WriteFile("src/kept/added.txt", "added");
    WriteFile("dst/kept/same.txt", "SAME");
    WriteFile("dst/kept/grown.txt", "g");
    // Every file written goes through one rename into place: count them, failing none.
    fault::Install({fault::Call::rename, 1000000, false, EIO, Path("dst").string(), nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 1u + 22u + 2u);  // top.txt, docs (22 files), grown and added
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/kept/same.txt"), "SAME");
    EXPECT_EQ(ReadFile("dst/kept/grown.txt"), "grown");
    EXPECT_EQ(ReadFile("dst/docs/deep/more/f7"), "7");

    // Run again: nothing is written, every answer made ahead holds.
    fault::Install({fault::Call::rename, 1000000, false, EIO, Path("dst").string(), nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 0u);
    EXPECT_FALSE(g_cancelRequested);
}

TEST_F(CopyPassTest, ListingThatBreaksOffIsAFailureNotAMirror) {
    MakeSource();
    WriteFile("src/docs/z.txt", "z");
    WriteFile("dst/docs/a.txt", "alpha");  // so that docs is compared entry by entry, not copied whole
    // The listing of src/docs breaks off after its first entry: the snapshot lacks the rest.
    fault::Install({fault::Call::list, 3, false, EIO, Path("src/docs").string(), nullptr});
    Copy();
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/top.txt"), "top") << "what was listed is still copied";
}

TEST_F(CopyPassTest, LinksAreCopiedAsLinks) {
    WriteFile("outside/file.txt", "o");
    MakeDir("src");
    fs::create_directory_symlink(Path("outside"), Path("src/dirlink"));
    fs::create_symlink("file-that-is-not-there", Path("src/dangling"));
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("dst/dirlink"))));
    EXPECT_EQ(fs::read_symlink(Path("dst/dangling")), "file-that-is-not-there");
    EXPECT_EQ(ListTree(Path("outside")).size(), 1u);
}
#endif

}  // namespace
}  // namespace twinfold::test
