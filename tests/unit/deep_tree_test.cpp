// A tree far deeper than PATH_MAX: mirrored exactly, kept up to date at every depth, and with few
// descriptors. Everything here is reached by descriptor, as no path to the deep folders fits in a
// system call.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "mirror/failure.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

constexpr int kLevels = 3000;  // "level/" 3,000 times: 18,000 bytes, over four times PATH_MAX

// The folders of a chain "level/level/...", each opened from the one above; [0] is the top.
class Chain {
public:
    Chain(const fs::path& top, int levels, bool make) {
        if (make) fs::create_directories(top);
        m_fds.push_back(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < levels && m_fds.back() >= 0; ++i) {
            if (make) ::mkdirat(m_fds.back(), "level", 0755);
            m_fds.push_back(::openat(m_fds.back(), "level", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    ~Chain() {
        for (int fd : m_fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    bool Whole(int levels) const { return static_cast<int>(m_fds.size()) == levels + 1 && m_fds.back() >= 0; }
    void Write(int level, const std::string& name, const std::string& content) const {
        const int fd = ::openat(m_fds[level], name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << level << "/" << name;
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    void Remove(int level, const std::string& name) const { ASSERT_EQ(::unlinkat(m_fds[level], name.c_str(), 0), 0); }
    // Every level's names and file contents, top down: "3: level/ f=3 ".
    std::vector<std::string> Listing() const {
        std::vector<std::string> levels;
        for (std::size_t i = 0; i < m_fds.size(); ++i) {
            const int copy = ::openat(m_fds[i], ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            DIR* dir = ::fdopendir(copy);
            std::vector<std::string> names;
            while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") continue;
                struct stat st {};
                ::fstatat(m_fds[i], name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
                names.push_back(S_ISDIR(st.st_mode) ? name + "/" : name + "=" + Read(m_fds[i], name));
            }
            if (dir) ::closedir(dir);
            std::sort(names.begin(), names.end());
            std::string line = std::to_string(i) + ":";
            for (const std::string& name : names) line += " " + name;
            levels.push_back(line);
        }
        return levels;
    }
    // Removes the chain's folders from the bottom up, which fs::remove_all cannot past PATH_MAX.
    void RemoveAll() {
        for (std::size_t i = m_fds.size(); i-- > 1;) {
            for (const std::string& name : Names(m_fds[i])) ::unlinkat(m_fds[i], name.c_str(), 0);
            ::close(m_fds[i]);
            m_fds[i] = -1;
            ::unlinkat(m_fds[i - 1], "level", AT_REMOVEDIR);
        }
    }

private:
    static std::string Read(int dirFd, const std::string& name) {
        const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
        std::string content;
        char buffer[256];
        for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, got);
        if (fd >= 0) ::close(fd);
        return content;
    }
    static std::vector<std::string> Names(int dirFd) {
        std::vector<std::string> names;
        DIR* dir = ::fdopendir(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "level") names.push_back(name);
        }
        if (dir) ::closedir(dir);
        return names;
    }

    std::vector<int> m_fds;
};

class DeepTreeTest : public PassTest {
protected:
    void TearDown() override {
        for (const char* side : {"src", "dst"}) {
            Chain chain(Path(side), kLevels, false);
            chain.RemoveAll();
        }
        PassTest::TearDown();
    }
    int Mirror() {
        const UnattendedResult result = RunUnattended(UnattendedJob{WPath("src"), WPath("dst"), true});
        if (result.failure) ADD_FAILURE() << FromWide(DescribeFailure(*result.failure)).string();
        return result.exitCode;
    }
};

TEST_F(DeepTreeTest, ThousandsOfLevelsMirrorAndStayUpToDateWithFewDescriptors) {
    {
        Chain src(Path("src"), kLevels, true);
        ASSERT_TRUE(src.Whole(kLevels));
        for (int level = 0; level <= kLevels; level += 7) src.Write(level, "f", std::to_string(level));
    }
    // The walks hold a few descriptors per thread and root, however deep the tree.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit narrow{128, limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &narrow), 0);
    const int first = Mirror();
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_EQ(first, 0);
    {
        Chain src(Path("src"), kLevels, false);
        Chain dst(Path("dst"), kLevels, false);
        ASSERT_TRUE(dst.Whole(kLevels));
        EXPECT_EQ(dst.Listing(), src.Listing());

        // Changes deep down, on both sides: a file grows, one goes, one comes; the mirror gains extras,
        // at the very bottom too, and one of its files changes size.
        src.Write(2800, "f", "grown at 2800");
        src.Remove(2996, "f");
        src.Write(1501, "new", "new at 1501");
        dst.Write(2999, "extra", "only in the mirror");
        dst.Write(kLevels, "f", "only in the mirror");
        dst.Write(2989, "f", "changed in the mirror");
    }
    ASSERT_EQ(Mirror(), 0);
    Chain src(Path("src"), kLevels, false);
    Chain dst(Path("dst"), kLevels, false);
    EXPECT_EQ(dst.Listing(), src.Listing());
    EXPECT_EQ(Mirror(), 0) << "nothing left to do";
}

}  // namespace
}  // namespace twinfold::test
