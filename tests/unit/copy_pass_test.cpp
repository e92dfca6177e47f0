#include <fstream>
#include <string>
#include <vector>

#include "mirror/failure.h"
#include "mirror/landing.h"
#include "mirror/lookahead.h"
#include "mirror/passes.h"
#include "platform/win32.h"
#include "tree/directory_tree.h"
#include "tests/unit/test_support.h"

#ifndef _WIN32
#include <cerrno>

#include "platform/fault.h"
#endif

namespace twinfold::test {
namespace {

class CopyPassTest : public PassTest {
protected:
    void Copy() { CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes); }

    // The names in `folder` (below the test folder) in the order the walk meets them: the listing's,
    // which differs from one file system to the next.
    std::vector<std::string> WalkOrder(const std::string& folder) const {
        std::vector<std::string> order;
        CDirectoryTree tree(WPath(folder), Recursion::no);
        for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
            order.push_back(FromWide(cursor.Name()).string());
        }
        return order;
    }

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
    CopyPass(PassRun(), WPath("nowhere").c_str(), WPath("dst").c_str(), Silent::yes);
    EXPECT_FALSE(Exists("dst"));
    EXPECT_FALSE(g_cancelRequested);

    MakeSource();
    const TreeListing before = ListTree(Path("src"));
    CopyPass(PassRun(), WPath("src").c_str(), WPath("src").c_str(), Silent::yes);
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
        CopyPass(PassRun(), WPath("src2").c_str(), WPath("dst2").c_str(), Silent::yes);
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ReadFile("dst2/clash/keep.txt"), "k");
    }
}

TEST_F(CopyPassTest, RootsWithTrailingSeparatorsWork) {
    MakeSource();
    CopyPass(PassRun(), (WPath("src") + kPathSeparator).c_str(), (WPath("dst") + kPathSeparator).c_str(), Silent::yes);
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

// Every entry below `root` whose name marks it as a copy that never landed.
std::vector<std::string> TemporaryEntries(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& [relative, content] : ListTree(root)) {
        const size_t slash = relative.rfind('/');
        if (IsTemporaryName(Wide(relative.substr(slash == std::string::npos ? 0 : slash + 1)))) found.push_back(relative);
    }
    return found;
}

#ifdef _WIN32
TEST_F(CopyPassTest, ALockedSourceFileLeavesTheOldFileWhole) {
    WriteFile("src/a.bin", std::string(300000, 'n'));
    WriteFile("dst/a.bin", "old version");
    // Opened by another program that shares nothing: the copy cannot read it.
    HANDLE lock = CreateFileW(WPath("src/a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Copy();
    CloseHandle(lock);
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/a.bin"), "old version");
    EXPECT_TRUE(TemporaryEntries(Path("dst")).empty());
}
#endif

#ifndef _WIN32
TEST_F(CopyPassTest, ACopyCutShortLeavesTheOldFileAndNothingElse) {
    const std::pair<const char*, fault::Rule> failures[] = {
        {"the data cannot be read", {fault::Call::read, 1, false, EIO, "", nullptr}},
        {"the disk fills up", {fault::Call::write, 1, false, ENOSPC, "", nullptr}},
        {"the rename into place fails", {fault::Call::rename, 1, false, EIO, "", nullptr}},
    };
    for (const auto& [what, rule] : failures) {
        SCOPED_TRACE(what);
        g_cancelRequested = false;
        WriteFile("src/big.bin", std::string(1 << 20, 'n'));
        WriteFile("dst/big.bin", "old version");
        fault::Install(rule);
        Copy();
        fault::Clear();
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ReadFile("dst/big.bin"), "old version");
        EXPECT_TRUE(TemporaryEntries(Path("dst")).empty());
    }
}

TEST_F(CopyPassTest, AFolderAppearsWholeOrNotAtAll) {
    for (int i = 0; i < 6; ++i) WriteFile("src/new/f" + std::to_string(i), std::string(1000 + i, 'x'));
    WriteFile("src/new/inner/g", "g");
    fs::permissions(Path("src/new"), fs::perms(0750));
    MakeDir("dst");
    const std::pair<const char*, fault::Rule> failures[] = {
        {"a file inside cannot be written", {fault::Call::write, 4, false, ENOSPC, "", nullptr}},
        {"a folder inside cannot be made", {fault::Call::mkdir, 2, false, EACCES, "", nullptr}},
        {"the rename into place fails", {fault::Call::rename, 1, false, EIO, "", nullptr}},
    };
    for (const auto& [what, rule] : failures) {
        SCOPED_TRACE(what);
        g_cancelRequested = false;
        fault::Install(rule);
        Copy();
        fault::Clear();
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_TRUE(ListTree(Path("dst")).empty()) << "neither a partial folder nor a temporary one";
    }
    g_cancelRequested = false;
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
    EXPECT_EQ(fs::status(Path("dst/new")).permissions(), fs::perms(0750));
}

TEST_F(CopyPassTest, AnEntryThatAppearsMeanwhileIsNeverReplaced) {
    WriteFile("src/new.txt", "ours");
    WriteFile("src/folder/inside.txt", "ours");
    for (const char* name : {"new.txt", "folder"}) {
        SCOPED_TRACE(name);
        g_cancelRequested = false;
        fs::remove_all(Path("dst"));
        MakeDir("dst");
        // Just before the copy is renamed into place, another program puts its own entry there.
        const fs::path there = Path(std::string("dst/") + name);
        fault::Install({fault::Call::rename, 1, false, 0, there.string(), [this, there] {
                            WriteFile(there.lexically_relative(root_).string(), "theirs");
                        }});
        Copy();
        fault::Clear();
        EXPECT_TRUE(g_cancelRequested);
        EXPECT_EQ(ReadFile(there.lexically_relative(root_).string()), "theirs");
        EXPECT_TRUE(TemporaryEntries(Path("dst")).empty());
    }
}

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

TEST_F(CopyPassTest, CopiesMadeAheadLandInWalkingOrderUpToTheFirstFailure) {
    // More copies than may wait at once, replacements and additions mixed: they are made side by
    // side, and what lands is still what one copy at a time would have landed. The new links among
    // them are made by the walk itself, after every copy before them has landed.
    // The links are made among the files, so that some file comes before a link whether the file
    // system lists its entries in the order they were made, the other way round (a tmpfs) or by hash.
    for (int i = 0; i < 150; ++i) {
        // ".txt" ends the name, so that the fault's path part "f8.txt" names f8 alone, not f89 too.
        const std::string name = "many/f" + std::to_string(i) + ".txt";
        WriteFile("src/" + name, "new " + std::to_string(i));
        if (i % 3 != 0) WriteFile("dst/" + name, "old");
        if (i % 15 == 7) fs::create_symlink("f0.txt", Path("src/many/l" + std::to_string(i / 15)));
    }
    const std::vector<std::string> order = WalkOrder("src/many");
    ASSERT_EQ(order.size(), 160u);
    // The failing file is the last one with a new link after it, so that the walk goes on after it.
    std::size_t failing = order.size();
    bool linkAfter = false;
    for (std::size_t k = order.size(); k-- > 0 && failing == order.size();) {
        if (order[k][0] == 'l') linkAfter = true;
        if (order[k][0] == 'f' && linkAfter) failing = k;
    }
    ASSERT_LT(failing, order.size());
    fault::Install({fault::Call::read, 1, false, EIO, Path("src/many/" + order[failing]).string(), nullptr});
    Copy();
    fault::Clear();
    EXPECT_TRUE(g_cancelRequested);
    ASSERT_TRUE(FirstFailure().has_value());
    EXPECT_EQ(FirstFailure()->path, WPath("src/many/" + order[failing]));
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::string name = "dst/many/" + order[k];
        const bool before = k < failing;
        if (order[k][0] == 'l') {
            EXPECT_EQ(fs::is_symlink(fs::symlink_status(Path(name))), before) << order[k];
            continue;
        }
        const int i = std::stoi(order[k].substr(1));
        if (before) {
            EXPECT_EQ(ReadFile(name), "new " + std::to_string(i)) << "copied before the failure: " << order[k];
        } else if (i % 3 != 0) {
            EXPECT_EQ(ReadFile(name), "old") << "at or after the failure: " << order[k];
        } else {
            EXPECT_FALSE(Exists(name)) << "at or after the failure: " << order[k];
        }
    }
    EXPECT_TRUE(TemporaryEntries(Path("dst")).empty()) << "copies made but never placed are removed";

    g_cancelRequested = false;
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
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
    // Every file written is created once in the destination: count those, failing none.
    fault::Install({fault::Call::open, 1000000, false, EIO, Path("dst").string(), nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 1u + 22u + 2u);  // top.txt, docs (22 files), grown and added
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ReadFile("dst/kept/same.txt"), "SAME");
    EXPECT_EQ(ReadFile("dst/kept/grown.txt"), "grown");
    EXPECT_EQ(ReadFile("dst/docs/deep/more/f7"), "7");

    // Run again: nothing is written, every answer made ahead holds.
    fault::Install({fault::Call::open, 1000000, false, EIO, Path("dst").string(), nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 0u);
    EXPECT_FALSE(g_cancelRequested);
}

TEST_F(CopyPassTest, AFolderCopiedWholeIsLookedUpAgainOnlyWhereTheCopyDiffered) {
    // A folder copy sums up what it made. Where that is what the snapshot holds below the folder, no
    // entry there is looked up again; where the source changed in between, each is looked up at its
    // turn, as always, and what changed is copied once more.
    WriteFile("src/docs/a.txt", "alpha");
    for (int i = 0; i < 10; ++i) WriteFile("src/docs/deep/f" + std::to_string(i), std::to_string(i));
    MakeDir("src/docs/deep/empty");
    // Links are summed up alike on both sides, or nothing with a link in it would ever agree.
    fs::create_symlink("../a.txt", Path("src/docs/deep/to-a"));
    fs::create_directory_symlink("empty", Path("src/docs/deep/to-empty"));
    MakeDir("dst");
    fault::Install({fault::Call::lookup, 1000000, false, EIO, Path("dst/docs").string() + "/", nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 0u);
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));

    fs::remove_all(Path("dst"));
    MakeDir("dst");
    // The folder's own files are copied before its subfolders: docs/a.txt is the first file made,
    // and deep/f3 grows after the snapshot but before the copy reads it.
    fault::Install({fault::Call::open, 1, false, 0, Path("dst").string(),
                    [this] { WriteFile("src/docs/deep/f3", "grown since the snapshot"); }});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 11u + 1u) << "every file made once, and f3 replaced at its turn";
    fault::Clear();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
    EXPECT_TRUE(TemporaryEntries(Path("dst")).empty());
}

TEST_F(CopyPassTest, AFolderCopiedWholeAnswersForNoSiblingWhoseNameItBegins) {
    // "d" copied whole answers for what lies below "d", not for "d1" that the walk comes to next:
    // d1's changed file must still be copied. The names d, d1, d11 ... each begin the longer ones.
    std::vector<std::string> names;
    for (std::string name = "d"; names.size() < 6; name += "1") names.push_back(name);
    // Made longest first, so that a file system listing the newest entry first lists them shortest first.
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        WriteFile("src/" + *name + "/f.txt", "new " + *name);
        WriteFile("dst/" + *name + "/f.txt", "old");
    }
    const std::vector<std::string> order = WalkOrder("src");
    ASSERT_EQ(order.size(), names.size());
    // The folder to copy whole is one listed right before a longer name (one in 720 orders has none).
    std::size_t whole = 0;
    while (whole + 1 < order.size() && order[whole].size() > order[whole + 1].size()) ++whole;
    if (whole + 1 == order.size()) whole = 0;
    fs::remove_all(Path("dst/" + order[whole]));
    Copy();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
}

TEST_F(CopyPassTest, ACopyMakesStaleOnlyTheAnswersItCouldHaveChanged) {
    // The new folder d/new is walked first (a folder's subfolders come before its files). Copying it
    // can change what a lookup finds only for itself and, on a file system that folds case or drops
    // trailing dots, for d/NEW and d/new. too: those two are looked up again at their turn, the other
    // files of d keep the answers made ahead.
    WriteFile("src/d/new/inner.txt", "inner");
    for (const char* name : {"NEW", "new.", "a.txt", "b.txt", "c.txt", "d.txt", "e.txt"}) {
        WriteFile(std::string("src/d/") + name, name);
        WriteFile(std::string("dst/d/") + name, name);
    }
    fault::Install({fault::Call::lookup, 1000000, false, EIO, Path("dst/d").string() + "/", nullptr});
    Copy();
    // Ahead: the 8 entries of d. At their turn: the copy's temporary name, NEW and new.
    EXPECT_EQ(fault::MatchingUses(), 8u + 1u + 2u);
    fault::Clear();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));

    // A copied name that might be an 8.3 alias could be taken for any sibling: all are looked up again.
    WriteFile("src/e/~new/inner.txt", "inner");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        WriteFile(std::string("src/e/") + name, name);
        WriteFile(std::string("dst/e/") + name, name);
    }
    fault::Install({fault::Call::lookup, 1000000, false, EIO, Path("dst/e").string() + "/", nullptr});
    Copy();
    EXPECT_EQ(fault::MatchingUses(), 4u + 1u + 3u);
    fault::Clear();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));

    // A file copied ahead on another thread makes stale the same answers as one copied by the walk:
    // the names after it that a folding file system might take for it. Which names come after it is
    // the listing's order; new.txt is made last, so that a tmpfs lists it first.
    const char* const alike[] = {"NEW.TXT", "new.txt.", "New.Txt", "new.txt "};
    for (const char* name : alike) {
        WriteFile(std::string("src/f/") + name, name);
        WriteFile(std::string("dst/f/") + name, name);
    }
    WriteFile("src/f/a.txt", "a");
    WriteFile("dst/f/a.txt", "a");
    WriteFile("src/f/new.txt", "new");
    std::size_t after = 0;  // alike names listed after new.txt
    bool copied = false;
    for (const std::string& name : WalkOrder("src/f")) {
        after += copied && name != "a.txt";
        copied = copied || name == "new.txt";
    }
    fault::Install({fault::Call::lookup, 1000000, false, EIO, Path("dst/f").string() + "/", nullptr});
    Copy();
    // Ahead: the 6 entries of f. Then the copy's check that its name is free, and the names after it.
    EXPECT_EQ(fault::MatchingUses(), 6u + 1u + after);
    fault::Clear();
    EXPECT_FALSE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));

    const std::pair<const wchar_t*, const wchar_t*> maybeOne[] = {
        {L"Read Me.TXT", L"read me.txt.. "}, {L"x", L"X"}, {L"caf\u00e9", L"cafe"}, {L"LONGFI~1.TXT", L"longfilename.txt"}};
    for (const auto& [a, b] : maybeOne) EXPECT_TRUE(MayNameTheSame(a, b)) << a;
    EXPECT_FALSE(MayNameTheSame(L"a.txt", L"b.txt"));
    EXPECT_FALSE(MayNameTheSame(L"x", L"x.y"));
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

TEST_F(CopyPassTest, AnEntryThatCannotBeLookedAtFailsTheRunInsteadOfDroppingOut) {
    // A listed entry whose details cannot be read (an I/O error, a refused permission) is not one that
    // went away meanwhile: left out, it would silently be missing from the mirror, or never deleted.
    // The source's entries are first read by the copy pass, the destination's by the delete pass.
    const struct {
        const char* entry;
        int error;
    } rows[] = {{"src/b.txt", EIO}, {"src/b.txt", EACCES}, {"dst/extra.txt", EIO}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry);
        fs::remove_all(root_);
        WriteFile("src/a.txt", "a");
        WriteFile("src/b.txt", "b");
        WriteFile("dst/a.txt", "a");
        WriteFile("dst/extra.txt", "x");
        fault::Install({fault::Call::lookup, 1, true, row.error, Path(row.entry).string(), nullptr});
        ClearRunFailure();
        g_cancelRequested = false;
        CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
        const bool source = row.entry[0] == 's';
        EXPECT_EQ(g_cancelRequested, source) << "the copy pass's outcome";
        if (!source) DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
        fault::Clear();
        EXPECT_TRUE(g_cancelRequested);
        ASSERT_TRUE(FirstFailure().has_value());
        EXPECT_EQ(FirstFailure()->operation, FailedOperation::list);
        EXPECT_EQ(FirstFailure()->path, WPath(fs::path(row.entry).parent_path().string()));
        EXPECT_EQ(ReadFile("dst/extra.txt"), "x");
    }
}

TEST_F(CopyPassTest, TheFailureReportedIsTheFirstTheRunMet) {
    // A folder that cannot be listed is the run's cause of failure, though the walk goes on and meets
    // a clash later: the message must name the folder, where the run first went wrong.
    WriteFile("src/a/x.txt", "x");
    WriteFile("src/b.txt", "b");
    MakeDir("dst/b.txt");
    fault::Install({fault::Call::list, 1, true, EIO, Path("src/a").string(), nullptr});
    Copy();
    fault::Clear();
    EXPECT_TRUE(g_cancelRequested);
    ASSERT_TRUE(FirstFailure().has_value());
    EXPECT_EQ(FirstFailure()->operation, FailedOperation::list);
    EXPECT_EQ(FirstFailure()->path, WPath("src/a"));
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
