#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"
#include "tree/directory_tree.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/fault.h"
#endif

namespace twinfold::test {
namespace {

struct Walked {
    std::wstring relative;
    bool directory;
    unsigned long long size;
};

std::vector<Walked> Walk(const CDirectoryTree& tree) {
    std::vector<Walked> entries;
    for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
        EXPECT_STRNE(cursor.Name(), L"");
        EXPECT_EQ(cursor.GetFullPath(), tree.Root() + cursor.GetRelativePath());
        entries.push_back({cursor.GetRelativePath(), cursor.IsDirectory(), cursor.Size()});
    }
    return entries;
}

std::wstring Rel(const std::string& slashPath) {
    std::wstring out;
    for (char c : "/" + slashPath) out.push_back(c == '/' ? kPathSeparator : static_cast<wchar_t>(c));
    return out;
}

size_t IndexOf(const std::vector<Walked>& entries, const std::wstring& relative) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].relative == relative) return i;
    }
    ADD_FAILURE() << "not walked: " << FromWide(relative).string();
    return entries.size();
}

class DirectoryTreeTest : public TempDirTest {};

TEST_F(DirectoryTreeTest, WalksEveryEntryOnceInPreOrderWithSubdirectoriesFirst) {
    WriteFile("root/b.txt", "bb");
    WriteFile("root/X/f.txt", "ffff");
    WriteFile("root/a.txt", "a");
    MakeDir("root/Y");
    WriteFile("root/X/Z/deep.txt", "d");
    MakeDir("root/.config");

    CDirectoryTree tree(WPath("root"), Recursion::yes);
    std::vector<Walked> entries = Walk(tree);

    std::set<std::wstring> seen;
    for (const Walked& e : entries) EXPECT_TRUE(seen.insert(e.relative).second) << "walked twice";
    const std::set<std::wstring> expected = {Rel("b.txt"), Rel("X"),          Rel("X/f.txt"),     Rel("a.txt"),
                                             Rel("Y"),     Rel("X/Z"),        Rel("X/Z/deep.txt"), Rel(".config")};
    EXPECT_EQ(seen, expected);

    // A directory comes before anything inside it.
    EXPECT_LT(IndexOf(entries, Rel("X")), IndexOf(entries, Rel("X/f.txt")));
    EXPECT_LT(IndexOf(entries, Rel("X/Z")), IndexOf(entries, Rel("X/Z/deep.txt")));
    // The root's turn: all four of its subdirectory and file records, subdirectories first, come first.
    for (const char* dir : {"X", "Y", ".config"}) {
        EXPECT_LT(IndexOf(entries, Rel(dir)), IndexOf(entries, Rel("a.txt")));
        EXPECT_LT(IndexOf(entries, Rel(dir)), IndexOf(entries, Rel("b.txt")));
    }
    EXPECT_LT(IndexOf(entries, Rel("a.txt")), IndexOf(entries, Rel("X/f.txt")));
    // X's turn (its subdirectory Z, then f.txt) comes before Z's own turn.
    EXPECT_LT(IndexOf(entries, Rel("X/Z")), IndexOf(entries, Rel("X/f.txt")));
    EXPECT_LT(IndexOf(entries, Rel("X/f.txt")), IndexOf(entries, Rel("X/Z/deep.txt")));

    for (const Walked& e : entries) {
        const bool isDir = e.relative == Rel("X") || e.relative == Rel("Y") || e.relative == Rel("X/Z") ||
                           e.relative == Rel(".config");
        EXPECT_EQ(e.directory, isDir) << FromWide(e.relative).string();
    }
    EXPECT_EQ(entries[IndexOf(entries, Rel("X/f.txt"))].size, 4u);
}

TEST_F(DirectoryTreeTest, WithoutRecursionOnlyTheRootIsListed) {
    WriteFile("root/b.txt", "");
    WriteFile("root/X/f.txt", "");
    MakeDir("root/Y");

    std::vector<Walked> entries = Walk(CDirectoryTree(WPath("root"), Recursion::no));
    std::set<std::wstring> seen;
    for (const Walked& e : entries) seen.insert(e.relative);
    EXPECT_EQ(seen, (std::set<std::wstring>{Rel("X"), Rel("Y"), Rel("b.txt")}));
}

TEST_F(DirectoryTreeTest, EmptyAndMissingRootsGiveAnEmptySnapshot) {
    MakeDir("empty");
    for (const char* root : {"empty", "missing"}) {
        SCOPED_TRACE(root);
        for (Recursion recursion : {Recursion::yes, Recursion::no}) {
            CDirectoryTree tree(WPath(root), recursion);
            CTreeIterator cursor = tree.Begin();
            EXPECT_TRUE(cursor.AtEnd());
            // The end cursor stays put and answers with nothing.
            cursor.Next();
            EXPECT_TRUE(cursor.AtEnd());
            EXPECT_FALSE(cursor.IsDirectory());
            EXPECT_STREQ(cursor.Name(), L"");
            EXPECT_EQ(cursor.GetFullPath(), L"");
            EXPECT_EQ(cursor.GetRelativePath(), L"");
        }
    }
}

TEST_F(DirectoryTreeTest, EmptySubdirectoryIsAnEntryWithoutATurnOfItsOwn) {
    MakeDir("root/only/empty");
    std::vector<Walked> entries = Walk(CDirectoryTree(WPath("root"), Recursion::yes));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].relative, Rel("only"));
    EXPECT_EQ(entries[1].relative, Rel("only/empty"));
    EXPECT_TRUE(entries[0].directory && entries[1].directory);
}

TEST_F(DirectoryTreeTest, RootThatNamesAFileYieldsThatFile) {
    WriteFile("file.bin", "0123456789");
    std::vector<Walked> entries = Walk(CDirectoryTree(WPath("file.bin"), Recursion::yes));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].relative, Rel("file.bin"));
    EXPECT_FALSE(entries[0].directory);
    EXPECT_EQ(entries[0].size, 10u);
}

TEST_F(DirectoryTreeTest, RootWithTrailingSeparatorKeepsRelativePaths) {
    WriteFile("root/sub/f.txt", "x");
    CDirectoryTree tree(WPath("root") + kPathSeparator, Recursion::yes);
    std::vector<Walked> entries = Walk(tree);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].relative, Rel("sub"));
    EXPECT_EQ(entries[1].relative, Rel("sub/f.txt"));
    // The full path keeps the root exactly as given, so the separator appears twice.
    EXPECT_EQ(tree.Begin().GetFullPath(), WPath("root") + kPathSeparator + kPathSeparator + L"sub");
}

TEST_F(DirectoryTreeTest, FoldersOfThousandsOfEntriesKeepEveryNameAndSize) {
    // Names of every length up to 150 characters, in folders scanned by different threads: together
    // far more text than one block of names holds, so many names lie across where blocks end.
    std::map<std::wstring, Walked> expected;
    for (int folder = 0; folder < 2; ++folder) {
        for (int i = 0; i < 500; ++i) {
            const std::string name = std::to_string(i) + "-" + std::string(static_cast<size_t>(i * 37 % 150), 'n');
            const std::string relative = "big" + std::to_string(folder) + "/" + name;
            if (i % 10 == 0) {
                MakeDir("root/" + relative);
                expected[Rel(relative)] = {Rel(relative), true, 0};
            } else {
                WriteFile("root/" + relative, std::string(static_cast<size_t>(i % 7), 's'));
                expected[Rel(relative)] = {Rel(relative), false, static_cast<unsigned long long>(i % 7)};
            }
        }
        expected[Rel("big" + std::to_string(folder))] = {Rel("big" + std::to_string(folder)), true, 0};
    }
    const CDirectoryTree tree(WPath("root"), Recursion::yes);
    std::map<std::wstring, Walked> walked;
    for (const Walked& entry : Walk(tree)) EXPECT_TRUE(walked.emplace(entry.relative, entry).second);
    ASSERT_EQ(walked.size(), expected.size());
    for (const auto& [relative, want] : expected) {
        SCOPED_TRACE(FromWide(relative).string());
        const auto found = walked.find(relative);
        ASSERT_NE(found, walked.end());
        EXPECT_EQ(found->second.directory, want.directory);
        EXPECT_EQ(found->second.size, want.size);
    }
}

TEST_F(DirectoryTreeTest, CopiedCursorWalksOnItsOwn) {
    WriteFile("root/a", "");
    WriteFile("root/b", "");
    CDirectoryTree tree(WPath("root"), Recursion::yes);
    CTreeIterator first = tree.Begin();
    CTreeIterator copy = first;
    copy.Next();
    EXPECT_NE(first.GetRelativePath(), copy.GetRelativePath());
    copy.Next();
    EXPECT_TRUE(copy.AtEnd());
    EXPECT_FALSE(first.AtEnd());
}

TEST_F(DirectoryTreeTest, LinkedFolderIsAnEntryButNeverEntered) {
    if (!SymlinksSupported(root_)) GTEST_SKIP() << "no symbolic links here";
    WriteFile("outside/secret.txt", "s");
    WriteFile("root/real/f.txt", "f");
    fs::create_directory_symlink(Path("outside"), Path("root/link"));
    fs::create_directory_symlink(Path("root"), Path("root/real/loop"));  // a cycle back to the root

    std::vector<Walked> entries = Walk(CDirectoryTree(WPath("root"), Recursion::yes));
    std::set<std::wstring> seen;
    for (const Walked& e : entries) seen.insert(e.relative);
    EXPECT_EQ(seen, (std::set<std::wstring>{Rel("link"), Rel("real"), Rel("real/f.txt"), Rel("real/loop")}));
    EXPECT_TRUE(entries[IndexOf(entries, Rel("link"))].directory);
}

// The walk the snapshot must give, made the plain way: one folder scanned after another, each
// folder's subtree in full before the next subfolder's, links not entered.
void ReferenceWalk(const std::wstring& path, size_t rootLength, std::vector<std::wstring>& out) {
    const CDirectoryTree directory(path, Recursion::no);
    std::vector<std::wstring> subfolders;
    for (CTreeIterator cursor = directory.Begin(); !cursor.AtEnd(); cursor.Next()) {
        out.push_back(path.substr(rootLength) + kPathSeparator + cursor.Name());
        if (cursor.IsDirectory() && !(cursor.Attributes() & FILE_ATTRIBUTE_REPARSE_POINT))
            subfolders.push_back(cursor.GetFullPath());
    }
    for (const std::wstring& subfolder : subfolders) ReferenceWalk(subfolder, rootLength, out);
}

TEST_F(DirectoryTreeTest, InsideAFolderEntryWalksExactlyWhatLiesBelowIt) {
    WriteFile("root/a/one.txt", "1");
    WriteFile("root/a/b/two.txt", "22");
    WriteFile("root/a/b/c/three.txt", "333");
    WriteFile("root/ab/other.txt", "x");  // shares a's path text as a prefix
    MakeDir("root/a/empty");
    WriteFile("root/z.txt", "z");
    const CDirectoryTree tree(WPath("root"), Recursion::yes);
    std::map<std::wstring, std::set<std::wstring>> below;
    for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
        const std::wstring folder = cursor.GetFullPath();
        std::set<std::wstring>& seen = below[cursor.GetRelativePath()];
        for (CTreeIterator inside = cursor.Inside(); !inside.AtEnd(); inside.Next()) {
            const std::wstring& directory = inside.Directory()->Path();
            if (directory.compare(0, folder.size(), folder) != 0 ||
                (directory.size() > folder.size() && directory[folder.size()] != kPathSeparator)) {
                break;
            }
            seen.insert(inside.GetRelativePath());
        }
    }
    EXPECT_EQ(below[Rel("a")], (std::set<std::wstring>{Rel("a/b"), Rel("a/empty"), Rel("a/one.txt"), Rel("a/b/c"),
                                                         Rel("a/b/two.txt"), Rel("a/b/c/three.txt")}));
    EXPECT_EQ(below[Rel("a/b")], (std::set<std::wstring>{Rel("a/b/c"), Rel("a/b/two.txt"), Rel("a/b/c/three.txt")}));
    EXPECT_EQ(below[Rel("ab")], (std::set<std::wstring>{Rel("ab/other.txt")}));
    EXPECT_TRUE(below[Rel("a/empty")].empty());
    EXPECT_TRUE(below[Rel("z.txt")].empty());
    // Without recursion no folder below the root was scanned.
    const CDirectoryTree flat(WPath("root"), Recursion::no);
    for (CTreeIterator cursor = flat.Begin(); !cursor.AtEnd(); cursor.Next()) EXPECT_TRUE(cursor.Inside().AtEnd());
}

TEST_F(DirectoryTreeTest, AVolumesOwnFoldersAreLeftOutAtTheTopOnly) {
    WriteFile("root/System Volume Information/tracking.log", "t");
    WriteFile("root/$Recycle.Bin/S-1-5/old.doc", "o");
    WriteFile("root/data/$RECYCLE.BIN/kept.txt", "k");  // below the top: an ordinary folder
    WriteFile("root/system volume information.txt", "f");
    for (const Recursion recursion : {Recursion::yes, Recursion::no}) {
        SCOPED_TRACE(recursion == Recursion::yes ? "recursive" : "top only");
        std::set<std::wstring> kept;
        const CDirectoryTree tree(WPath("root"), recursion, nullptr, Detail::full, VolumeFolders::leftOut);
        for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) kept.insert(cursor.GetRelativePath());
        EXPECT_EQ(kept.count(Rel("System Volume Information")) + kept.count(Rel("$Recycle.Bin")), 0u);
        EXPECT_EQ(kept.count(Rel("system volume information.txt")), 1u);
        EXPECT_EQ(kept.count(Rel("data")), 1u);
        if (recursion == Recursion::yes) {
            EXPECT_EQ(kept.count(Rel("data/$RECYCLE.BIN/kept.txt")), 1u);
        }
    }
    const CDirectoryTree whole(WPath("root"), Recursion::no);
    EXPECT_EQ(Walk(whole).size(), 4u);
}

TEST_F(DirectoryTreeTest, FoldersScannedSideBySideGiveTheOneThreadOrder) {
    // Wide and deep at once, with empty folders and files at every level, so that the scanning
    // threads finish folders in an order of their own.
    for (int a = 0; a < 6; ++a) {
        const std::string top = "root/t" + std::to_string(a);
        WriteFile(top + "/f", std::string(static_cast<size_t>(a), 'x'));
        MakeDir(top + "/empty");
        std::string deep = top;
        for (int depth = 0; depth < 5; ++depth) {
            deep += "/d" + std::to_string(depth);
            for (int f = 0; f < 3; ++f) WriteFile(deep + "/file" + std::to_string(f), "y");
            MakeDir(deep + "/side" + std::to_string(depth));
        }
    }
    WriteFile("root/top.txt", "t");
    if (SymlinksSupported(root_)) fs::create_directory_symlink(Path("root/t1"), Path("root/t0/link"));

    std::vector<std::wstring> expected;
    ReferenceWalk(WPath("root"), WPath("root").size(), expected);

    std::mutex mutex;
    std::vector<std::wstring> hooked;
    const ScanHook hook = [&](const CDirectory& directory) {
        std::lock_guard<std::mutex> lock(mutex);
        hooked.push_back(directory.Path().substr(WPath("root").size()));
    };
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        hooked.clear();
        const CDirectoryTree tree(WPath("root"), Recursion::yes, hook);
        std::vector<std::wstring> walked;
        for (const Walked& entry : Walk(tree)) walked.push_back(entry.relative);
        EXPECT_EQ(walked, expected);
        EXPECT_TRUE(tree.Complete());

        // The hook saw the root and every folder below it once, empty ones too, never the link, and
        // each folder before anything inside it.
        std::set<std::wstring> folders{L""};
        for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
            if (cursor.IsDirectory() && !(cursor.Attributes() & FILE_ATTRIBUTE_REPARSE_POINT))
                folders.insert(cursor.GetRelativePath());
        }
        EXPECT_EQ(std::set<std::wstring>(hooked.begin(), hooked.end()), folders);
        EXPECT_EQ(hooked.size(), folders.size());
        for (size_t i = 0; i < hooked.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                EXPECT_NE(hooked[j].rfind(hooked[i] + kPathSeparator, 0), 0u)
                    << FromWide(hooked[j]).string() << " before its folder";
            }
        }
    }
}

#ifndef _WIN32
TEST_F(DirectoryTreeTest, ListingThatFailsLeavesTheSnapshotIncomplete) {
    WriteFile("root/top.txt", "t");
    WriteFile("root/a/1.txt", "1");
    WriteFile("root/a/2.txt", "2");
    WriteFile("root/a/b/3.txt", "3");
    EXPECT_TRUE(CDirectoryTree(WPath("root"), Recursion::yes).Complete());
    EXPECT_TRUE(CDirectoryTree(WPath("missing"), Recursion::yes).Complete()) << "nothing there is nothing missed";
    EXPECT_TRUE(CDirectoryTree(WPath("root/top.txt"), Recursion::yes).Complete()) << "a file has no listing";

    const std::pair<std::string, std::string> failures[] = {
        {"list:1:EACCES", "the root refused"},
        {"list:2:EIO", "the root's listing breaking off at its first entry"},
        {"list:1:EACCES:" + Path("root/a/b").string(), "a subfolder refused"},
        {"list:3:ENOSPC:" + Path("root/a").string(), "a subfolder's listing breaking off"},
    };
    for (const auto& [rule, what] : failures) {
        SCOPED_TRACE(what);
        fault::Rule parsed;
        ASSERT_TRUE(fault::ParseRule(rule, parsed));
        fault::Install(parsed);
        const CDirectoryTree tree(WPath("root"), Recursion::yes);
        EXPECT_GE(fault::MatchingUses(), parsed.nth);
        fault::Clear();
        EXPECT_FALSE(tree.Complete());
    }
}

TEST_F(DirectoryTreeTest, KindsOnlySnapshotTellsTheKindsTheFullOneTells) {
    WriteFile("root/file.txt", "12345");
    WriteFile("root/dir/inner.txt", "i");
    ASSERT_EQ(::mkfifo(Path("root/pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(Path("root/dir"), Path("root/to-dir"));
    fs::create_symlink(Path("root/file.txt"), Path("root/to-file"));
    fs::create_symlink(Path("root/nowhere"), Path("root/dangling"));
    const auto kinds = [](const CDirectoryTree& tree) {
        std::map<std::wstring, std::pair<bool, bool>> seen;  // directory, link
        for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) {
            const bool link = IsLinkRecord(cursor.Attributes(), cursor.ReparseTag());
            seen[cursor.GetRelativePath()] = {cursor.IsDirectory(), link};
        }
        return seen;
    };
    const auto full = kinds(CDirectoryTree(WPath("root"), Recursion::yes));
    ASSERT_EQ(full.size(), 7u);
    // Some file systems list no kinds at all: each entry is then asked for its own.
    for (const bool untyped : {false, true}) {
        SCOPED_TRACE(untyped ? "kinds not listed" : "kinds listed");
        if (untyped) fault::Install({fault::Call::untyped, 1, true, 0, "", nullptr});
        const CDirectoryTree tree(WPath("root"), Recursion::yes, nullptr, Detail::kinds);
        fault::Clear();
        EXPECT_EQ(kinds(tree), full);
        for (CTreeIterator cursor = tree.Begin(); !cursor.AtEnd(); cursor.Next()) EXPECT_EQ(cursor.Size(), 0u);
    }
}
#endif

}  // namespace
}  // namespace twinfold::test

namespace twinfold::test {
namespace {

// Folders keep only their name and a link to the folder above; every path a cursor or a folder
// gives is put together from those, with the last few kept for reuse. Two cursors walking the
// same snapshot by turns, through deep and wide parts, must each get exactly the paths on disk.
TEST_F(DirectoryTreeTest, PathsPutTogetherFromParentsAreThePathsOnDisk) {
    std::string deep = "t";
    for (int level = 0; level < 40; ++level) {
        deep += "/l" + std::to_string(level);
        WriteFile(deep + "/f", "x");
        if (level % 5 == 0) WriteFile(deep + "-side/g", "y");  // a sibling beside the deep branch
    }
    for (int i = 0; i < 30; ++i) WriteFile("t/wide/w" + std::to_string(i) + "/h", "z");

    std::set<std::wstring> onDisk;
    for (const auto& entry : fs::recursive_directory_iterator(Path("t"))) onDisk.insert(Wide(entry.path()));
    const std::wstring root = WPath("t");
    CDirectoryTree tree(root, Recursion::yes);
    CTreeIterator ahead = tree.Begin();
    CTreeIterator behind = tree.Begin();
    std::set<std::wstring> walked;
    for (std::size_t step = 0; !behind.AtEnd(); ++step) {
        if (!ahead.AtEnd()) {
            const std::wstring full = ahead.GetFullPath();
            EXPECT_EQ(full, root + ahead.GetRelativePath());
            EXPECT_EQ(full, ahead.Directory()->Path() + twinfold::kPathSeparator + ahead.Name());
            walked.insert(full);
            ahead.Next();
        }
        if (step % 3 == 2) {  // the second cursor lags further and further behind
            EXPECT_EQ(onDisk.count(behind.GetFullPath()), 1u);
            behind.Next();
        }
        if (ahead.AtEnd() && step % 3 != 2) {
            EXPECT_EQ(onDisk.count(behind.GetFullPath()), 1u);
            behind.Next();
        }
    }
    EXPECT_EQ(walked, onDisk);
}

}  // namespace
}  // namespace twinfold::test
