// Names and paths on POSIX: whatever bytes a name holds, the longest names, names that differ only
// in case, and paths longer than one system call takes are all mirrored and deleted exactly.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "mirror/passes.h"
#include "platform/win32.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

class NamesTest : public PassTest {
protected:
    // A whole job: the copy pass, then the delete pass.
    void Mirror() {
        CopyPass(PassRun(), WPath("src").c_str(), WPath("dst").c_str(), Silent::yes);
        ASSERT_FALSE(g_cancelRequested) << "copy pass";
        DeletePass(PassRun(), WPath("src").c_str(), WPath("dst").c_str());
        ASSERT_FALSE(g_cancelRequested) << "delete pass";
    }
};

// The paths whose entries differ between two listings, one per line; empty when they are equal.
// (The listings themselves are too long to read in a failure message.)
std::string Differences(const TreeListing& actual, const TreeListing& expected) {
    std::string text;
    for (const auto& [path, content] : actual) {
        auto found = expected.find(path);
        if (found == expected.end()) text += "extra: " + path + "\n";
        else if (found->second != content) text += "differs: " + path + "\n";
    }
    for (const auto& [path, content] : expected) {
        if (actual.count(path) == 0) text += "missing: " + path + "\n";
    }
    return text;
}

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST_F(NamesTest, AnyNameIsMirroredAndDeletedExactly) {
    const std::vector<std::string> names = {
        "caf\xC3\xA9",                    // UTF-8
        "latin1-\xE9t\xE9",               // bytes that are not UTF-8
        "\xFF\xFE\x80",                   // nothing but such bytes
        "surrogate-\xED\xA0\x80",         // an encoded surrogate, invalid as UTF-8
        "beyond-\xF4\x90\x80\x80",        // above U+10FFFF
        "escape-\xED\xB3\xBF",            // the bytes of the code point that escapes 0xFF
        "back\\slash\\",                  // a separator on Windows, a plain byte here
        "new\nline",
        "-leading-dash",
        "--",
        "*.*",
        "*",
        "?<>|\"",
        " spaces at both ends ",
        "tab\there",
        "...",
        ".hidden",
        std::string(255, 'n'),            // the longest name
        Repeat("\xE2\x82\xAC", 85),       // 255 bytes of three-byte characters
        Repeat("\xF0\x9F\x98\x80", 63) + "xyz",  // 255 bytes, characters beyond the BMP
        "Case",
        "CASE",
    };
    // Each name as a file and as a folder holding a file. Written directly: the helpers refuse any
    // path with "..", which "..." holds.
    const auto put = [this](const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    };
    for (size_t i = 0; i < names.size(); ++i) {
        put("src/files/" + names[i], std::string(i + 1, 'x'));
        put("src/dirs/" + names[i] + "/inner", names[i]);
    }
    Mirror();
    EXPECT_EQ(Differences(ListTree(Path("dst")), ListTree(Path("src"))), "");

    // Resized files are replaced; a name that differs from a source name only in case is an extra.
    for (size_t i = 0; i < names.size(); i += 2) put("src/files/" + names[i], std::string(100, 'r'));
    WriteFile("dst/files/case", "only the case differs");
    MakeDir("dst/dirs/cAsE");
    Mirror();
    EXPECT_EQ(Differences(ListTree(Path("dst")), ListTree(Path("src"))), "");
    EXPECT_TRUE(Exists("dst/files/Case") && Exists("dst/files/CASE") && !Exists("dst/files/case"));

    // Every second name removed, as a file and as a folder.
    for (size_t i = 1; i < names.size(); i += 2) {
        fs::remove(root_ / "src/files" / names[i]);
        fs::remove_all(root_ / "src/dirs" / names[i]);
    }
    Mirror();
    EXPECT_EQ(Differences(ListTree(Path("dst")), ListTree(Path("src"))), "");
    EXPECT_EQ(ListTree(Path("dst/files")).size(), (names.size() + 1) / 2);
}

// ---- paths longer than PATH_MAX ----

const std::string kLevel(120, 'L');  // a folder name; 40 levels make about 4,800 bytes of path

// Opens `base` and `depth` levels of kLevel below it, creating what is missing. The full path is
// never handed to a system call.
int OpenDeep(const fs::path& base, int depth) {
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        ::mkdirat(fd, kLevel.c_str(), 0755);
        const int next = ::openat(fd, kLevel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    EXPECT_GE(fd, 0) << "cannot open level " << depth;
    return fd;
}

void WriteDeep(const fs::path& base, int depth, const std::string& name, const std::string& content) {
    const int dir = OpenDeep(base, depth);
    const int fd = ::openat(dir, name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    ::close(dir);
}

// Runs `change` on the folder `depth` levels below `base`; it returns 0 on success.
template <typename Change>
void ChangeDeep(const fs::path& base, int depth, Change change) {
    const int dir = OpenDeep(base, depth);
    EXPECT_EQ(change(dir), 0) << std::strerror(errno);
    ::close(dir);
}

// ListTree, but read by descriptor, since the paths are too long for the standard library.
void ListAt(int dirFd, const std::string& prefix, TreeListing& listing) {
    DIR* stream = ::fdopendir(::dup(dirFd));
    ASSERT_NE(stream, nullptr);
    while (const dirent* entry = ::readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string relative = prefix + name;
        struct stat st {};
        ASSERT_EQ(::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
        if (S_ISDIR(st.st_mode)) {
            listing[relative] = "d";
            const int child = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ASSERT_GE(child, 0);
            ListAt(child, relative + "/", listing);
            ::close(child);
        } else {
            std::string content(static_cast<size_t>(st.st_size), '\0');
            const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(::read(fd, content.data(), content.size()), st.st_size);
            ::close(fd);
            listing[relative] = content;
        }
    }
    ::closedir(stream);
}

TreeListing ListDeep(const fs::path& root) {
    TreeListing listing;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return listing;
    ListAt(fd, "", listing);
    ::close(fd);
    return listing;
}

class DeepPathsTest : public NamesTest {
protected:
    void TearDown() override {
        // The standard library cannot remove what lies beyond PATH_MAX; the layer can.
        for (const char* tree : {"src", "dst", "copy"}) {
            if (!Exists(tree)) continue;
            const std::wstring from = WPath(tree) + L'\0';
            SHFILEOPSTRUCTW op{};
            op.wFunc = FO_DELETE;
            op.pFrom = from.c_str();
            op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
            EXPECT_EQ(SHFileOperationW(&op), 0) << tree;
        }
        NamesTest::TearDown();
    }
};

TEST_F(DeepPathsTest, TreesDeeperThanPathMaxAreMirroredAndDeletedExactly) {
    const int bottom = 44;
    MakeDir("src");
    WriteDeep(Path("src"), 10, "shallow.txt", "shallow");
    WriteDeep(Path("src"), 36, "mid.txt", "mid");
    WriteDeep(Path("src"), bottom, "bottom.txt", "bottom");
    ChangeDeep(Path("src"), bottom, [](int dir) { return ::mkdirat(dir, "leafdir", 0755); });
    WriteDeep(Path("src"), bottom, "leafdir/x", "x");
    ASSERT_GT(Path("src").native().size() + bottom * (kLevel.size() + 1), static_cast<size_t>(PATH_MAX));
    Mirror();
    EXPECT_EQ(Differences(ListDeep(Path("dst")), ListDeep(Path("src"))), "");
    // A link on the way to a deep entry is followed as the kernel would follow it in a short path.
    if (SymlinksSupported(root_)) {
        fs::create_directory_symlink(Path("src"), Path("via-link"));
        CopyPass(PassRun(), WPath("via-link").c_str(), WPath("copy").c_str(), Silent::yes);
        EXPECT_FALSE(g_cancelRequested);
        EXPECT_EQ(Differences(ListDeep(Path("copy")), ListDeep(Path("src"))), "");
    }

    // Replaced, added (a file into an existing deep folder, a new deep folder), removed (a file, a folder).
    WriteDeep(Path("src"), bottom, "bottom.txt", "bottom, grown");
    WriteDeep(Path("src"), bottom - 1, "added.txt", "added");
    ChangeDeep(Path("src"), bottom - 2, [](int dir) { return ::mkdirat(dir, "newdir", 0755); });
    WriteDeep(Path("src"), bottom - 2, "newdir/inside.txt", "in");
    ChangeDeep(Path("src"), 36, [](int dir) { return ::unlinkat(dir, "mid.txt", 0); });
    ChangeDeep(Path("src"), bottom, [](int dir) {
        return ::unlinkat(dir, "leafdir/x", 0) == 0 ? ::unlinkat(dir, "leafdir", AT_REMOVEDIR) : -1;
    });
    WriteDeep(Path("dst"), bottom - 3, "extra.txt", "only in the destination");
    Mirror();
    const TreeListing mirrored = ListDeep(Path("dst"));
    EXPECT_EQ(Differences(mirrored, ListDeep(Path("src"))), "");
    EXPECT_EQ(mirrored.size(), static_cast<size_t>(bottom + 5));  // the levels and five entries
}

}  // namespace
}  // namespace twinfold::test
