// The two roots stay the folders the user named: seen through bind mounts, pinned for the whole
// job, and never left through a link swapped in while a pass runs.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "app/unattended.h"
#include "mirror/landing.h"
#include "mirror/passes.h"
#include "platform/fault.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

class RootsTest : public PassTest {
protected:
    int Run(bool deletePass = true) { return RunUnattended({WPath("src"), WPath("dst"), deletePass}).exitCode; }
    // Runs at the first matching use of `call` on a path containing `pathPart`.
    void At(fault::Call call, const std::string& pathPart, std::function<void()> action) {
        fault::Rule rule;
        rule.call = call;
        rule.pathPart = Path(pathPart).string();
        rule.action = std::move(action);
        fault::Install(rule);
    }
    void Exchange(const std::string& a, const std::string& b) {
        ASSERT_EQ(::renameat2(AT_FDCWD, Path(a).c_str(), AT_FDCWD, Path(b).c_str(), RENAME_EXCHANGE), 0);
    }
    // `body` in a child with a mount namespace of its own; its exit code, or -1 where that is refused.
    int InOwnMountNamespace(const std::function<int()>& body) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                ::_exit(255);
            ::_exit(body());
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
    }
    bool Bind(const std::string& from, const std::string& onto) {
        return ::mount(Path(from).c_str(), Path(onto).c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
};

TEST_F(RootsTest, BindMountsEitherWayAreOverlapAndTheRunEnds) {
    WriteFile("dst/inner/only-copy.txt", "the only copy");
    WriteFile("src/inner/f.txt", "f");
    MakeDir("srcview");
    MakeDir("dstview");
    const TreeListing before = ListTree(root_);
    const int code = InOwnMountNamespace([&] {
        if (!Bind("dst/inner", "srcview") || !Bind("src/inner", "dstview")) return 254;
        const UnattendedResult sourceInside = RunUnattended({WPath("srcview"), WPath("dst"), true});
        const UnattendedResult destinationInside = RunUnattended({WPath("src"), WPath("dstview"), true});
        return (sourceInside.exitCode == 1 && sourceInside.roots == RootsCheck::overlapping ? 0 : 1) |
               (destinationInside.exitCode == 1 && destinationInside.roots == RootsCheck::overlapping ? 0 : 2);
    });
    if (code == -1) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(code, 0) << "1: source inside the destination missed; 2: destination inside the source missed";
    EXPECT_EQ(ListTree(root_), before);
}

TEST_F(RootsTest, SnapshotMeetingTheOtherRootEndsThePassBeforeAnyDeletion) {
    WriteFile("src/f.txt", "f");
    WriteFile("dst/f.txt", "f");
    MakeDir("dst/mount-point");
    const TreeListing source = ListTree(Path("src"));
    const TreeListing destination = ListTree(Path("dst"));
    const int code = InOwnMountNamespace([&] {
        // After the roots were checked, the source appears inside the destination.
        At(fault::Call::list, "dst/mount-point", [&] { Bind("src", "dst/mount-point"); });
        const int exitCode = Run();
        fault::Clear();
        return exitCode;
    });
    if (code == -1) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ListTree(Path("src")), source);
    EXPECT_EQ(ListTree(Path("dst")), destination);
}

TEST_F(RootsTest, MountsBelowARootThatOverlapTheOtherStopTheRunBeforeTheyAreWrittenOrEmptied) {
    const struct Row {
        const char* name;
        std::function<void(const std::string&)> make;    // the trees, below the row's folder
        std::function<bool(const std::string&)> mount;   // in the namespace, before the run
        int exitCode;
        std::function<void(const std::string&)> check;  // afterwards, with the mounts gone
    } rows[] = {
        {"a source mount shows a destination folder",
         [&](const std::string& p) {
             WriteFile(p + "src/keep/f", "the source's, longer");
             WriteFile(p + "dst/keep/f", "dst's");
             MakeDir(p + "src/mnt");
         },
         [&](const std::string& p) { return Bind(p + "dst/keep", p + "src/mnt"); }, 1,
         [&](const std::string& p) { EXPECT_EQ(ReadFile(p + "dst/keep/f"), "dst's") << "written through the source"; }},
        {"a destination mount shows a source folder",
         [&](const std::string& p) {
             WriteFile(p + "src/photos/p.jpg", "p");
             MakeDir(p + "dst/mnt");
         },
         [&](const std::string& p) { return Bind(p + "src/photos", p + "dst/mnt"); }, 1,
         [&](const std::string& p) { EXPECT_EQ(ReadFile(p + "src/photos/p.jpg"), "p") << "deleted from the source"; }},
        {"a source mount shows a folder outside both",
         [&](const std::string& p) {
             WriteFile(p + "outside/o.txt", "o");
             MakeDir(p + "src/usb");
         },
         [&](const std::string& p) { return Bind(p + "outside", p + "src/usb"); }, 0,
         [&](const std::string& p) { EXPECT_EQ(ReadFile(p + "dst/usb/o.txt"), "o"); }},
        {"a destination folder becomes a mount of a source folder during the copy pass",
         [&](const std::string& p) {
             WriteFile(p + "src/keep/f", "the source's, longer");
             WriteFile(p + "dst/keep/f", "dst's");
             WriteFile(p + "src/photos/p.jpg", "p");
             WriteFile(p + "dst/photos/p.jpg", "p");
         },
         [&](const std::string& p) {
             At(fault::Call::list, p + "src/photos", [this, p] { Bind(p + "src/photos", p + "dst/keep"); });
             return true;
         },
         1,
         [&](const std::string& p) {
             EXPECT_EQ(ListTree(Path(p + "src/photos")), (TreeListing{{"p.jpg", "p"}})) << "written into the source";
         }},
        {"a folder being removed becomes a mount of a source folder",
         [&](const std::string& p) {
             WriteFile(p + "src/photos/p.jpg", "p");
             WriteFile(p + "dst/photos/p.jpg", "p");
             WriteFile(p + "dst/extra/inner/x", "x");
         },
         [&](const std::string& p) {
             At(fault::Call::open, p + "dst/extra/inner", [this, p] { Bind(p + "src/photos", p + "dst/extra/inner"); });
             return true;
         },
         1,
         [&](const std::string& p) { EXPECT_EQ(ReadFile(p + "src/photos/p.jpg"), "p") << "deleted from the source"; }},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string p = "row" + std::to_string(++n) + "/";
        row.make(p);
        const int code = InOwnMountNamespace([&] {
            if (!row.mount(p)) return 254;
            const int exitCode = RunUnattended({WPath(p + "src"), WPath(p + "dst"), true}).exitCode;
            fault::Clear();
            return exitCode;
        });
        if (code == -1) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(code, row.exitCode);
        row.check(p);
    }
}

TEST_F(RootsTest, SourceReplacedOrGoneMidRunEndsWithNothingDeleted) {
    for (const bool replaced : {true, false}) {
        SCOPED_TRACE(replaced ? "replaced by another folder" : "gone");
        fs::remove_all(root_);
        WriteFile("src/keep1.txt", "1");
        WriteFile("src/sub/keep2.txt", "2");
        WriteFile("src/new.txt", "new");
        WriteFile("dst/keep1.txt", "1");
        WriteFile("dst/sub/keep2.txt", "2");
        At(fault::Call::open, "src/new.txt", [&] {
            fs::rename(Path("src"), Path("moved"));
            if (replaced) WriteFile("src/other.txt", "other");
        });
        g_cancelRequested = false;
        EXPECT_EQ(Run(), 1);
        fault::Clear();
        EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("moved")));
    }
}

// A root that is moved away or replaced after the run's last copy began still fails the run, with a
// run that never deletes too: its success would say the folder now at that path is a mirror.
TEST_F(RootsTest, RootMovedOrReplacedDuringTheCopyPassFailsTheRun) {
    for (const char* root : {"src", "dst"}) {
        for (const bool replaced : {true, false}) {
            SCOPED_TRACE(std::string(root) + (replaced ? " replaced by another folder" : " moved away"));
            fs::remove_all(root_);
            WriteFile("src/same.txt", "same");
            WriteFile("src/new.txt", "new");
            WriteFile("dst/same.txt", "same");
            At(fault::Call::open, "src/new.txt", [&] {
                fs::rename(Path(root), Path("moved"));
                if (replaced) MakeDir(root);
            });
            g_cancelRequested = false;
            const UnattendedResult result = RunUnattended({WPath("src"), WPath("dst"), false});
            EXPECT_GE(fault::MatchingUses(), 1u) << "the root was moved";
            fault::Clear();
            EXPECT_EQ(result.exitCode, 1);
            ASSERT_TRUE(result.failure.has_value());
            EXPECT_NE(result.failure->reason.find(L"moved, replaced or unmounted"), std::wstring::npos);
        }
    }
}

// Everything the delete pass would delete was compared against the source as it was: a source that
// was replaced meanwhile (by an empty folder, as a drive that is unmounted leaves its mount point) or
// a destination that was, ends the pass before its first deletion.
TEST_F(RootsTest, RootReplacedWhileTheDeletePassComparesDeletesNothing) {
    for (const char* root : {"src", "dst"}) {
        SCOPED_TRACE(root);
        fs::remove_all(root_);
        WriteFile("src/keep.txt", "k");
        WriteFile("dst/keep.txt", "k");
        WriteFile("dst/extra.txt", "x");
        WriteFile("dst/extra/inside.txt", "x");
        At(fault::Call::lookup, "src/extra.txt", [&] {
            fs::rename(Path(root), Path("moved"));
            MakeDir(root);
        });
        g_cancelRequested = false;
        RunContext run(WPath("src"), WPath("dst"));
        DeletePass(run, WPath("src").c_str(), WPath("dst").c_str());
        EXPECT_GE(fault::MatchingUses(), 1u) << "the root was replaced";
        fault::Clear();
        EXPECT_TRUE(g_cancelRequested);
        ASSERT_TRUE(run.Failure().has_value());
        EXPECT_NE(run.Failure()->reason.find(L"moved, replaced or unmounted"), std::wstring::npos);
        const std::string destination = std::string(root) == "dst" ? "moved" : "dst";
        EXPECT_EQ(ReadFile(destination + "/extra.txt"), "x");
        EXPECT_EQ(ReadFile(destination + "/extra/inside.txt"), "x");
    }
}

TEST_F(RootsTest, FolderSwappedForALinkMidRunLetsNothingOutsideChange) {
    WriteFile("outside/extra.txt", "outside's own");
    const TreeListing outside = ListTree(Path("outside"));
    WriteFile("src/sub/a.txt", "a");
    WriteFile("src/sub/b.txt", "b");
    WriteFile("dst/sub/extra.txt", "extra");
    fs::create_directory_symlink(Path("outside"), Path("dst/link"));

    // The copy pass: after the first copy into dst/sub began, dst/sub becomes a link to outside.
    At(fault::Call::open, "src/sub/", [&] { Exchange("dst/sub", "dst/link"); });
    EXPECT_EQ(Run(false), 1);
    fault::Clear();
    EXPECT_EQ(ListTree(Path("outside")), outside);
    Exchange("dst/sub", "dst/link");

    // The delete pass: dst/sub is compared, then becomes a link before its extra file is deleted.
    g_cancelRequested = false;
    CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
    At(fault::Call::lookup, "src/sub/extra.txt", [&] { Exchange("dst/sub", "dst/link"); });
    DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
    EXPECT_GE(fault::MatchingUses(), 1u) << "the swap happened";
    EXPECT_TRUE(g_cancelRequested);
    EXPECT_EQ(ListTree(Path("outside")), outside);
    fault::Clear();

    // The source's scan: src/sub becomes a link to outside just before it is listed.
    Exchange("dst/sub", "dst/link");
    fs::create_directory_symlink(Path("outside"), Path("src/link"));
    g_cancelRequested = false;
    At(fault::Call::list, "src/sub", [&] { Exchange("src/sub", "src/link"); });
    EXPECT_EQ(Run(false), 1);
    EXPECT_EQ(ReadFile("dst/sub/extra.txt"), "extra") << "nothing outside the source is read";
}

// The same with a link to another folder of the same root: staying below the root is not enough, no
// link on the way is followed. Nothing lands in that folder, and nothing is deleted from it.
// A destination that the run itself makes is pinned once it is made: swapped for a link afterwards,
// it lets nothing be written through the link, though opening it failed at the pass's start.
TEST_F(RootsTest, DestinationMadeByTheRunIsPinnedOnceItIsMade) {
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteFile(std::string("src/") + name, name);
    MakeDir("outside");
    fault::Rule rule;
    rule.call = fault::Call::open;
    rule.nth = 3;  // the third source file: the root was made for the first
    rule.pathPart = Path("src/").string();
    rule.action = [&] {
        fs::rename(Path("dst"), Path("moved"));
        fs::create_directory_symlink(Path("outside"), Path("dst"));
    };
    fault::Install(rule);
    EXPECT_EQ(Run(false), 1);
    EXPECT_GE(fault::MatchingUses(), 3u) << "the swap happened";
    fault::Clear();
    EXPECT_TRUE(ListTree(Path("outside")).empty());
    for (const auto& [relative, content] : ListTree(root_)) {
        EXPECT_FALSE(IsTemporaryName(Wide(fs::path(relative).filename()))) << "left behind: " << relative;
    }
}

TEST_F(RootsTest, FolderSwappedForALinkWithinItsRootIsNotFollowed) {
    WriteFile("src/other/own.txt", "other's own");
    WriteFile("src/other/extra.txt", "x");  // the same name as the extra file in dst/sub
    WriteFile("src/sub/a.txt", "a");
    WriteFile("src/sub/b.txt", "b");
    WriteFile("dst/other/own.txt", "other's own");
    WriteFile("dst/other/extra.txt", "x");
    WriteFile("dst/sub/extra.txt", "x");
    fs::create_directory_symlink("other", Path("dst/link"));
    const TreeListing other = ListTree(Path("dst/other"));

    At(fault::Call::open, "src/sub/", [&] { Exchange("dst/sub", "dst/link"); });
    EXPECT_EQ(Run(false), 1);
    EXPECT_GE(fault::MatchingUses(), 1u) << "the swap happened";
    fault::Clear();
    EXPECT_EQ(ListTree(Path("dst/other")), other);
    Exchange("dst/sub", "dst/link");

    g_cancelRequested = false;
    CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
    ASSERT_FALSE(g_cancelRequested);
    At(fault::Call::lookup, "src/sub/extra.txt", [&] { Exchange("dst/sub", "dst/link"); });
    DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
    EXPECT_GE(fault::MatchingUses(), 1u) << "the swap happened";
    fault::Clear();
    EXPECT_EQ(ListTree(Path("dst/other")), other);
}

}  // namespace
}  // namespace twinfold::test
