// What a mirror keeps on Linux beyond contents (special files, holes, owners), and what a failed run
// says about itself.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "mirror/failure.h"
#include "mirror/landing.h"
#include "mirror/passes.h"
#include "platform/fault.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

constexpr uid_t kNobody = 65534;

struct stat Lstat(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Runs `body` in a child process that has dropped to an unprivileged user; its text comes back.
std::string AsNobody(const std::function<std::string()>& body) {
    int channel[2];
    if (::pipe(channel) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        std::string result = "cannot drop privileges";
        if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) result = body();
        ::_exit(::write(channel[1], result.data(), result.size()) == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(channel[1]);
    std::string result;
    char buffer[512];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, got);
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

class LinuxCopyTest : public PassTest {
protected:
    void SetUp() override {
        PassTest::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: device nodes, other owners, dropping to nobody";
    }
    void Node(const std::string& relative, mode_t mode, dev_t device = 0) const {
        ASSERT_EQ(::mknod(Path(relative).c_str(), mode, device), 0) << relative;
    }
    // Another user's entry; `mode` 0 for a link.
    void Own(const std::string& relative, mode_t mode) const {
        ASSERT_EQ(::lchown(Path(relative).c_str(), 1234, 5678), 0);
        ASSERT_EQ(mode == 0 ? 0 : ::chmod(Path(relative).c_str(), mode), 0);
    }
    void Mirror(const std::string& dst = "dst") {
        CopyPass(PassRun(), WPath("src").c_str(), WPath(dst).c_str(), Silent::yes);
    }
};

TEST_F(LinuxCopyTest, SpecialFilesHolesAndOwnersAreKept) {
    MakeDir("src/dev");
    Node("src/dev/pipe", S_IFIFO | 0640);
    Node("src/dev/sock", S_IFSOCK | 0600);
    Node("src/dev/null", S_IFCHR | 0666, ::makedev(1, 3));
    Node("src/dev/loop", S_IFBLK | 0660, ::makedev(7, 0));
    Node("src/pipe2", S_IFIFO | 0604);
    WriteFile("dst/pipe2", "abc");  // a file where the source has a FIFO: replaced by one
    WriteFile("src/shared/tool", "#!/bin/sh\n");
    fs::create_symlink("tool", Path("src/shared/ln"));
    Own("src/shared/tool", 04755);
    Own("src/shared/ln", 0);
    Own("src/shared", 02775);
    // 4 KiB of data at 1 MiB in 2 MiB: holes before and after.
    WriteFile("src/sparse.img", "");
    fs::resize_file(Path("src/sparse.img"), 1 << 20);
    { std::ofstream(Path("src/sparse.img"), std::ios::app | std::ios::binary) << std::string(4096, 'x'); }
    fs::resize_file(Path("src/sparse.img"), 2 << 20);

    Mirror();
    EXPECT_FALSE(g_cancelRequested);
    for (const char* entry : {"dev", "dev/pipe", "dev/sock", "dev/null", "dev/loop", "pipe2", "sparse.img", "shared",
                              "shared/tool", "shared/ln"}) {
        SCOPED_TRACE(entry);
        const struct stat src = Lstat(Path("src") / entry);
        const struct stat dst = Lstat(Path("dst") / entry);
        EXPECT_EQ(dst.st_mode, src.st_mode);  // kind and every permission bit, set-id bits included
        EXPECT_EQ(dst.st_rdev, src.st_rdev);
        EXPECT_EQ(dst.st_uid, src.st_uid);
        EXPECT_EQ(dst.st_gid, src.st_gid);
    }
    // A replacing copy keeps the holes too, and the size is exact with a trailing hole.
    for (int size : {2 << 20, 3 << 20}) {
        SCOPED_TRACE(size);
        fs::resize_file(Path("src/sparse.img"), size);
        Mirror();
        EXPECT_EQ(Lstat(Path("dst/sparse.img")).st_size, size);
        EXPECT_LT(Lstat(Path("dst/sparse.img")).st_blocks * 512, 1 << 20);
        EXPECT_EQ(ReadFile("dst/sparse.img"), ReadFile("src/sparse.img"));
    }
}

// Every kind against every other at sizes that match (a 5-byte file, a link to a 5-character name),
// and devices of other numbers: none passes for unchanged. Where neither is a folder the destination
// entry becomes a copy of the source's; a folder against anything but a source link is a clash that
// touches neither.
TEST_F(LinuxCopyTest, EntriesOfAnotherKindAreNeverTakenAsUnchanged) {
    enum Kind { file, emptyFile, folder, link, fifo, socket, device13, device15 };
    const char* const names[] = {"file", "empty file", "folder", "link", "FIFO", "socket", "device 1:3", "device 1:5"};
    const auto make = [this](Kind kind, const std::string& at) {
        switch (kind) {
            case file: WriteFile(at, "12345"); break;
            case emptyFile: WriteFile(at, ""); break;
            case folder: MakeDir(at); break;
            case link: fs::create_symlink("abcde", Path(at)); break;
            case fifo: Node(at, S_IFIFO | 0644); break;
            case socket: Node(at, S_IFSOCK | 0644); break;
            case device13: Node(at, S_IFCHR | 0644, ::makedev(1, 3)); break;
            case device15: Node(at, S_IFCHR | 0644, ::makedev(1, 5)); break;
        }
    };
    const auto same = [this](const std::string& a, const std::string& b) {
        const struct stat x = Lstat(Path(a));
        const struct stat y = Lstat(Path(b));
        if ((x.st_mode & S_IFMT) != (y.st_mode & S_IFMT) || x.st_rdev != y.st_rdev) return false;
        if (S_ISLNK(x.st_mode)) return fs::read_symlink(Path(a)) == fs::read_symlink(Path(b));
        return !S_ISREG(x.st_mode) || ReadFile(a) == ReadFile(b);
    };
    for (int s = file; s <= device15; ++s) {
        for (int d = file; d <= device15; ++d) {
            if (s == d || (s == file && d == emptyFile) || (s == emptyFile && d == file)) continue;
            SCOPED_TRACE(std::string(names[s]) + " in the source, " + names[d] + " in the destination");
            fs::remove_all(Path("src"));
            fs::remove_all(Path("dst"));
            MakeDir("src");
            MakeDir("dst");
            make(static_cast<Kind>(s), "src/e");
            make(static_cast<Kind>(d), "dst/e");
            const struct stat before = Lstat(Path("dst/e"));
            g_cancelRequested = false;
            ClearRunFailure();
            Mirror();
            const bool sourceLinkOverFolder = s == link && d == folder;  // left alone, never deleted
            if ((s == folder || d == folder) && !sourceLinkOverFolder) {
                EXPECT_TRUE(g_cancelRequested);
                const std::optional<RunFailure> failure = FirstFailure();
                ASSERT_TRUE(failure.has_value());
                EXPECT_EQ(failure->path, WPath("src/e"));
                EXPECT_EQ(Lstat(Path("dst/e")).st_mode, before.st_mode);
                EXPECT_EQ(Lstat(Path("dst/e")).st_ino, before.st_ino);
            } else if (sourceLinkOverFolder) {
                EXPECT_FALSE(g_cancelRequested);
                EXPECT_TRUE(S_ISDIR(Lstat(Path("dst/e")).st_mode));
            } else {
                EXPECT_FALSE(g_cancelRequested);
                EXPECT_TRUE(same("src/e", "dst/e"));
            }
        }
    }
}

TEST_F(LinuxCopyTest, OwnerThatCannotBeKeptDropsTheSetIdBitsAndADeviceFailsWithTheReason) {
    WriteFile("src/tool", "#!/bin/sh\n");
    WriteFile("src/shared/f", "f");
    Node("src/pipe", S_IFIFO | 0640);
    Own("src/tool", 04755);
    Own("src/shared", 02755);
    MakeDir("out");
    fs::permissions(Path("out"), fs::perms::all);
    auto mirror = [this] {
        Mirror("out/dst");
        const std::optional<RunFailure> failure = FirstFailure();
        return g_cancelRequested ? (failure ? FromWide(DescribeFailure(*failure)).string() : "no failure kept") : "ok";
    };
    EXPECT_EQ(AsNobody(mirror), "ok");
    const std::pair<const char*, mode_t> rows[] = {
        {"tool", S_IFREG | 0755}, {"shared", S_IFDIR | 0755}, {"shared/f", S_IFREG | 0644}, {"pipe", S_IFIFO | 0640}};
    for (const auto& [entry, mode] : rows) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(Lstat(Path("out/dst") / entry).st_mode, mode);
        EXPECT_EQ(Lstat(Path("out/dst") / entry).st_uid, kNobody);
    }

    Node("src/null", S_IFCHR | 0666, ::makedev(1, 3));
    EXPECT_EQ(AsNobody(mirror), "cannot copy '" + Path("src/null").string() + "' to '" + Path("out/dst/null").string() +
                                    "': Operation not permitted");
    EXPECT_FALSE(Exists("out/dst/null"));
}

// A whole drive holds folders its user may not read (lost+found): everything else is mirrored, a
// missing folder lands without the unreadable folder inside it, the run fails naming such a folder,
// and nothing is deleted in it.
TEST_F(LinuxCopyTest, FoldersThatCannotBeReadAreLeftOutAndFailTheRunAfterTheRest) {
    for (const char* file : {"src/a/f", "src/b/f", "src/c/f", "src/x/keep.txt", "src/x/more/deep.txt"}) WriteFile(file, file);
    WriteFile("src/lost+found/#123", "found");
    WriteFile("src/x/secret/key", "key");
    MakeDir("out");
    fs::permissions(Path("out"), fs::perms::all);
    for (const char* folder : {"src/lost+found", "src/x/secret"}) fs::permissions(Path(folder), fs::perms::owner_all);
    auto mirror = [this] {
        const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath("out/dst"), true});
        const int code = result.exitCode;
        const std::optional<RunFailure>& failure = result.failure;
        return std::to_string(code) + (failure ? ": " + FromWide(DescribeFailure(*failure)).string() : "");
    };
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string result = AsNobody(mirror);
        EXPECT_TRUE(result == "1: cannot list '" + Path("src/lost+found").string() + "': Permission denied" ||
                    result == "1: cannot list '" + Path("src/x/secret").string() + "': Permission denied")
            << result;
        for (const char* file : {"a/f", "b/f", "c/f", "x/keep.txt", "x/more/deep.txt"}) {
            EXPECT_EQ(ReadFile(std::string("out/dst/") + file), std::string("src/") + file);
        }
        EXPECT_FALSE(Exists("out/dst/lost+found"));
        EXPECT_FALSE(Exists("out/dst/x/secret"));
        if (run == 1) WriteFile("out/dst/extra.txt", "the delete pass does not run");
    }
    EXPECT_TRUE(Exists("out/dst/extra.txt"));
    for (const auto& entry : fs::recursive_directory_iterator(Path("out/dst"))) {
        EXPECT_NE(entry.path().filename().string().rfind(".twinfold-tmp-", 0), 0u) << entry.path();
    }
}

TEST_F(LinuxCopyTest, SourceFolderThatCannotBeListedStopsTheDeletionWithItsReason) {
    WriteFile("src/keep.txt", "k");
    WriteFile("src/docs/keep.txt", "k");
    WriteFile("dst/keep.txt", "k");
    WriteFile("dst/extra.txt", "x");
    WriteFile("dst/docs/extra.txt", "x");
    for (const char* folder : {"dst", "dst/docs"}) fs::permissions(Path(folder), fs::perms::all);
    fs::permissions(Path("src/docs"), fs::perms::none);
    const TreeListing before = ListTree(Path("dst"));
    const std::string result = AsNobody([this] {
        DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
        const std::optional<RunFailure> failure = FirstFailure();
        return g_cancelRequested && failure ? FromWide(DescribeFailure(*failure)).string() : "no failure";
    });
    fs::permissions(Path("src/docs"), fs::perms::owner_all);
    EXPECT_EQ(result, "cannot look up '" + Path("src/docs/extra.txt").string() + "': Permission denied");
    EXPECT_EQ(ListTree(Path("dst")), before);
}

// Read-only folders, as a user who owns them: the mirror of a folder of mode 0555 is kept up to date
// and keeps that mode, also when a change in it fails.
class ReadOnlyFoldersTest : public LinuxCopyTest {
protected:
    // The whole test folder becomes nobody's, as a user's own trees are.
    void GiveToNobody() const {
        ASSERT_EQ(::lchown(root_.c_str(), kNobody, kNobody), 0);
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
        }
    }
    void Seal(const std::string& folder) const { fs::permissions(Path(folder), fs::perms(0555)); }
    // Runs a job as nobody: its exit code, and the first failure's description when it failed.
    std::string RunAsNobody(bool deletePass, const std::string& faultRule = std::string()) const {
        GiveToNobody();
        return AsNobody([&] {
            fault::Rule rule;
            if (!faultRule.empty() && fault::ParseRule(faultRule, rule)) fault::Install(rule);
            const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath("dst"), deletePass});
            const int code = result.exitCode;
            const std::optional<RunFailure>& failure = result.failure;
            return std::to_string(code) + (failure ? ": " + FromWide(DescribeFailure(*failure)).string() : "");
        });
    }
    mode_t Mode(const std::string& relative) const { return Lstat(Path(relative)).st_mode; }
    std::vector<std::string> TemporaryEntries() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(Path("dst"))) {
            if (entry.path().filename().string().rfind(".twinfold-tmp-", 0) == 0) found.push_back(entry.path());
        }
        return found;
    }
};

TEST_F(ReadOnlyFoldersTest, GainLoseAndReplaceEntriesAndKeepTheirMode) {
    WriteFile("src/ro/a.txt", "a");
    WriteFile("src/ro/old.txt", "old");
    WriteFile("src/ro/grow.txt", "g");
    WriteFile("src/ro/sub/b.txt", "b");
    WriteFile("src/ro/sub/gone/c.txt", "c");
    for (const char* folder : {"src/ro/sub/gone", "src/ro/sub", "src/ro"}) Seal(folder);
    EXPECT_EQ(RunAsNobody(true), "0");
    EXPECT_EQ(Mode("dst/ro"), S_IFDIR | 0555);

    // Root may change the sealed source: it gains, loses and changes entries in every sealed folder.
    WriteFile("src/ro/new.txt", "new");
    WriteFile("src/ro/newdir/n.txt", "n");
    Seal("src/ro/newdir");
    fs::create_symlink("a.txt", Path("src/ro/ln"));
    fs::remove(Path("src/ro/old.txt"));
    WriteFile("src/ro/grow.txt", "grown");
    fs::permissions(Path("src/ro/sub/gone"), fs::perms::owner_all);
    fs::remove_all(Path("src/ro/sub/gone"));
    WriteFile("src/ro/sub/b2.txt", "b2");
    EXPECT_EQ(RunAsNobody(true), "0");
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
    for (const char* folder : {"dst/ro", "dst/ro/sub", "dst/ro/newdir"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(Mode(folder), S_IFDIR | 0555);
    }

    // A replacement that fails in a sealed folder leaves it sealed and holding its old entry only.
    WriteFile("src/ro/grow.txt", "grown again");
    EXPECT_EQ(RunAsNobody(true, "rename:1:ENOSPC:/dst/ro/grow.txt"),
              "1: cannot copy '" + Path("src/ro/grow.txt").string() + "' to '" + Path("dst/ro/grow.txt").string() +
                  "': No space left on device");
    EXPECT_EQ(Mode("dst/ro"), S_IFDIR | 0555);
    EXPECT_EQ(ReadFile("dst/ro/grow.txt"), "grown");
    EXPECT_EQ(TemporaryEntries(), std::vector<std::string>());
}

TEST_F(ReadOnlyFoldersTest, ATemporaryFolderHoldingSealedFoldersIsRemovedWhole) {
    WriteFile("src/new/ro/deeper/x.txt", "x");
    WriteFile("src/new/plain/y.txt", "y");
    for (const char* folder : {"src/new/ro/deeper", "src/new/ro", "src/new"}) Seal(folder);
    MakeDir("dst");
    // The folder copy is complete, sealed folders and all, when its move into place fails.
    EXPECT_EQ(RunAsNobody(true, "rename:1:ENOSPC:/dst/new"),
              "1: cannot copy '" + Path("src/new").string() + "' to '" + Path("dst/new").string() +
                  "': No space left on device");
    EXPECT_EQ(ListTree(Path("dst")), TreeListing());

    // What a killed run leaves: the next run without the delete pass keeps it, the next full run
    // removes it.
    WriteFile("dst/.twinfold-tmp-0123456789ab/ro/x.txt", "x");
    for (const char* folder : {"dst/.twinfold-tmp-0123456789ab/ro", "dst/.twinfold-tmp-0123456789ab"}) Seal(folder);
    EXPECT_EQ(RunAsNobody(false), "0");
    EXPECT_EQ(TemporaryEntries().size(), 1u);
    EXPECT_EQ(RunAsNobody(true), "0");
    EXPECT_EQ(ListTree(Path("dst")), ListTree(Path("src")));
    EXPECT_EQ(Mode("dst/new/ro"), S_IFDIR | 0555);
}

// A file that becomes something else between the listing and its copy (a build tool's pipe, or a
// swap made on purpose) is refused as what it now is: opening a FIFO must not wait for a writer that
// never comes, and a link must not be followed to copy what it leads to.
TEST_F(PassTest, AFileSwappedBeforeItsCopyFailsTheRunAndCopiesNothingElse) {
    WriteFile("outside/secret.txt", "not the source's");
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to a file outside");
        fs::remove_all(Path("src"));
        fs::remove_all(Path("dst"));
        ClearRunFailure();
        g_cancelRequested = false;
        WriteFile("src/swapped", "was a file");
        WriteFile("dst/swapped", "old");
        fault::Rule rule;
        rule.call = fault::Call::open;
        rule.pathPart = Path("src/swapped").string();
        rule.action = [&] {
            fs::remove(Path("src/swapped"));
            if (fifo) {
                ASSERT_EQ(::mkfifo(Path("src/swapped").c_str(), 0600), 0);
            } else {
                fs::create_symlink(Path("outside/secret.txt"), Path("src/swapped"));
            }
        };
        fault::Install(rule);
        auto run = std::async(std::launch::async, [&] {
            CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
        });
        const bool ended = run.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        if (!ended) {
            // Let the stuck open go on, so the test can end and say so.
            const int writer = ::open(Path("src/swapped").c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
            run.wait();
        }
        fault::Clear();
        EXPECT_TRUE(ended) << "the copy waited on the FIFO";
        EXPECT_TRUE(g_cancelRequested);
        ASSERT_TRUE(FirstFailure().has_value());
        EXPECT_EQ(FirstFailure()->path, WPath("src/swapped"));
        EXPECT_EQ(ReadFile("dst/swapped"), "old");
    }
}

// A failed copy pass leaves the destination as it was in all it did not get to: the delete pass,
// which would remove what the source lacks, does not run after it.
TEST_F(PassTest, NothingIsDeletedAfterTheCopyPassFailed) {
    WriteFile("src/a.bin", "the new a");
    WriteFile("dst/a.bin", "old a");
    WriteFile("dst/extra.txt", "extra");
    fault::Rule rule;
    ASSERT_TRUE(fault::ParseRule("rename:1:ENOSPC:/a.bin", rule));
    fault::Install(rule);
    const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath("dst"), true});
    fault::Clear();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ReadFile("dst/a.bin"), "old a");
    EXPECT_EQ(ReadFile("dst/extra.txt"), "extra");
}

// A folder being filled under its temporary name may hold files that only their owner may read:
// until the copy is complete and given the source's mode, nobody else can look into it.
TEST_F(PassTest, AFolderBeingCopiedIsOpenToItsOwnerAloneUntilItIsComplete) {
    WriteFile("src/new/private.txt", "only mine");
    ASSERT_EQ(::chmod(Path("src/new/private.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(Path("src/new").c_str(), 0755), 0);
    WriteFile("dst/other.txt", "o");
    std::vector<mode_t> modes;  // of the temporary folders while the file is copied into one
    fault::Rule rule;
    rule.call = fault::Call::open;
    rule.pathPart = Path("src/new/private.txt").string();
    rule.action = [&] {
        for (const fs::directory_entry& entry : fs::directory_iterator(Path("dst"))) {
            if (IsTemporaryName(Wide(entry.path().filename()))) modes.push_back(Lstat(entry.path()).st_mode);
        }
    };
    fault::Install(rule);
    CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
    fault::Clear();
    EXPECT_FALSE(g_cancelRequested);
    ASSERT_EQ(modes.size(), 1u) << "the folder is filled under a temporary name";
    EXPECT_TRUE(S_ISDIR(modes[0]));
    EXPECT_EQ(modes[0] & 077, 0u) << std::oct << modes[0];
    EXPECT_EQ(Lstat(Path("dst/new")).st_mode, S_IFDIR | 0755u);
    EXPECT_EQ(ReadFile("dst/new/private.txt"), "only mine");
}

TEST_F(PassTest, AFailedRunNamesTheOperationThePathAndTheSystemsReason) {
    const std::string s = Path("src").string();
    WriteFile("src/a.bin", "aaaa");
    WriteFile("src/d/sub/x", "x");
    const struct {
        const char* rule;
        bool fullDestination;  // else the destination starts with only an extra file
        std::string expected;  // '@' stands for the destination
    } rows[] = {
        {"open:1:EACCES:/src/d/sub/x", false, "cannot copy '" + s + "/d' to '@/d' (at '" + s + "/d/sub/x'): Permission denied"},
        {"rename:1:ENOSPC:/a.bin", true, "cannot copy '" + s + "/a.bin' to '@/a.bin': No space left on device"},
        {"list:2:EIO:/src/d/sub", true, "cannot list '" + s + "/d/sub': Input/output error"},
        {"lookup:1:EIO:/src/old.txt", true, "cannot look up '" + s + "/old.txt': Input/output error"},
        // An error that no Windows code stands for keeps its own words, from a lookup made ahead too.
        {"lookup:1:ESTALE:/src/old.txt", true, "cannot look up '" + s + "/old.txt': Stale file handle"},
        {"unlink:1:EROFS:/old.txt", true, "cannot delete '@/old.txt': Read-only file system"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        const std::string dst = "dst" + std::to_string(++n);
        if (row.fullDestination) WriteFile(dst + "/d/sub/x", "x");
        if (row.fullDestination) WriteFile(dst + "/a.bin", "a");  // another size: copied again
        WriteFile(dst + "/old.txt", "extra");
        fault::Rule rule;
        ASSERT_TRUE(fault::ParseRule(row.rule, rule));
        fault::Install(rule);
        ClearRunFailure();
        g_cancelRequested = false;
        const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath(dst), true});
        EXPECT_EQ(result.exitCode, 1);
        fault::Clear();
        std::string expected = row.expected;
        if (expected.find('@') != std::string::npos) expected.replace(expected.find('@'), 1, Path(dst).string());
        ASSERT_TRUE(result.failure.has_value());
        EXPECT_EQ(FromWide(DescribeFailure(*result.failure)).string(), expected);
    }

    ClearRunFailure();
    g_cancelRequested = false;
    const UnattendedResult refused = RunUnattended(UnattendedJob{WPath("src"), WPath("src/d"), true});
    EXPECT_EQ(refused.exitCode, 1);
    ASSERT_TRUE(refused.failure.has_value());
    EXPECT_EQ(DescribeFailure(*refused.failure), L"cannot mirror '" + WPath("src") + L"' onto '" + WPath("src/d") +
                                                    L"': " + DescribeRootsCheck(RootsCheck::overlapping));
}

TEST_F(PassTest, RunningOutOfMemoryInAnyStepEndsTheRunWithOneLineAndNoTemporaryEntry) {
    const std::string s = Path("src").string();
    WriteFile("src/a.bin", "the source's a.bin");
    WriteFile("src/new/a.txt", "a");
    WriteFile("src/new/b.txt", "b");
    WriteFile("src/sub/x", "x");
    const struct {
        fault::Call call;
        const char* pathPart;
        std::string expected;  // '@' stands for the destination
    } rows[] = {
        {fault::Call::open, "/src/new/b.txt", "out of memory while copying '" + s + "/new' to '@/new'"},
        {fault::Call::list, "/src/sub", "out of memory while listing '" + s + "/sub'"},
        {fault::Call::rename, "/a.bin", "out of memory while copying '" + s + "/a.bin' to '@/a.bin'"},
        {fault::Call::lookup, "/src/old.txt", "out of memory while looking up '" + s + "/old.txt'"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pathPart);
        const std::string dst = "dst" + std::to_string(++n);
        WriteFile(dst + "/a.bin", "a");
        WriteFile(dst + "/old.txt", "extra");
        if (row.call == fault::Call::lookup) {
            WriteFile(dst + "/a.bin", "the source's a.bin");
            WriteFile(dst + "/new/a.txt", "a");
            WriteFile(dst + "/new/b.txt", "b");
            WriteFile(dst + "/sub/x", "x");
        }
        fault::Rule rule;
        rule.call = row.call;
        rule.pathPart = row.pathPart;
        rule.action = [] { throw std::bad_alloc(); };
        fault::Install(rule);
        ClearRunFailure();
        g_cancelRequested = false;
        const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath(dst), true});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_GT(fault::MatchingUses(), 0u) << "the allocation failed";
        fault::Clear();
        std::string expected = row.expected;
        if (expected.find('@') != std::string::npos) expected.replace(expected.find('@'), 1, Path(dst).string());
        ASSERT_TRUE(result.failure.has_value());
        EXPECT_EQ(FromWide(DescribeFailure(*result.failure)).string(), expected);
        for (const auto& [path, content] : ListTree(Path(dst))) {
            EXPECT_EQ(path.find(".twinfold-tmp-"), std::string::npos) << path;
        }
        EXPECT_EQ(ReadFile(dst + "/old.txt"), "extra");
    }
}

}  // namespace
}  // namespace twinfold::test
