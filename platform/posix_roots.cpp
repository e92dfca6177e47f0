// POSIX only: folder identity and place (device, inode, mount table), and the roots of a pass, from
// whose descriptors every call below a root walks one name at a time. Never follows a link below a root.
#include <sys/sysmacros.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#ifdef __linux__
#include <linux/openat2.h>
#endif

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

struct twinfold::PassRoots::State {
    struct Root {
        std::string text;  // without trailing separators
        std::atomic<int> fd{-1};
        // The layer's change count when opening last failed, plus one: only a change of the layer's
        // own (the pass creating the destination) makes another attempt worth its system calls.
        std::atomic<std::uint64_t> failedAt{0};
        dev_t dev = 0;  // valid once fd is
        ino_t ino = 0;
    };
    Root roots[2];
    std::mutex opening;
    // Set when a listing met a root below a root: from then on nothing below the roots is trusted.
    std::atomic<bool> tripped{false};
};

namespace twinfold::posix {
namespace {

std::atomic<PassRoots::State*> g_passRoots{nullptr};

// The root's descriptor, opened on first use: a destination that does not exist when the pass
// starts is made by the pass, and from then on reached from its descriptor.
int RootFd(PassRoots::State& state, PassRoots::State::Root& root) {
    int fd = root.fd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    const std::uint64_t changes = TreeChanges();
    if (root.failedAt.load(std::memory_order_relaxed) == changes + 1) return -1;
    std::lock_guard<std::mutex> lock(state.opening);
    fd = root.fd.load(std::memory_order_relaxed);
    if (fd >= 0) return fd;
    PathAt at;
    Fd opened;
    struct stat st {};
    if (at.OpenFromCurrentFolder(root.text) == 0) {
        opened.Reset(::openat(at.Dir(), at.Name(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!opened.Valid() || ::fstat(opened.Get(), &st) != 0) {
        root.failedAt.store(changes + 1, std::memory_order_relaxed);
        return -1;
    }
    root.dev = st.st_dev;
    root.ino = st.st_ino;
    root.fd.store(opened.Get(), std::memory_order_release);
    return opened.Release();
}

std::string WithoutTrailingSeparators(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The text of `path` below `root` (leading separators dropped; empty for the root itself), or false
// when `path` does not start with the root's text.
bool TextBelow(const std::string& path, const std::string& root, std::string& below) {
    if (root.empty() || root == "/" || path.compare(0, root.size(), root) != 0) return false;
    if (path.size() > root.size() && path[root.size()] != '/') return false;
    std::size_t start = root.size();
    while (start < path.size() && path[start] == '/') ++start;
    below = path.substr(start);
    return true;
}

#ifdef __linux__
std::atomic<bool> g_noOpenat2{false};
#endif

// Opens `relative` (names separated by '/', no "." or "..") below `dirFd` for searching, never
// through a link. The kernel does it in one call where it can; otherwise one name at a time.
int OpenFolderBeneath(int dirFd, const std::string& relative, Fd& out) {
#ifdef __linux__
    if (!g_noOpenat2.load(std::memory_order_relaxed) && relative.size() < PATH_MAX) {
        struct open_how how {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
        const long fd = ::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            out.Reset(static_cast<int>(fd));
            return 0;
        }
        if (errno != ENOSYS) return errno;
        g_noOpenat2.store(true, std::memory_order_relaxed);
    }
#endif
    Fd dir;
    int at = dirFd;
    std::size_t pos = 0;
    while (pos < relative.size()) {
        std::size_t end = relative.find('/', pos);
        if (end == std::string::npos) end = relative.size();
        const std::string name = relative.substr(pos, end - pos);
        Fd next(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.Valid()) {
            const int error = errno;
            struct stat st {};
            // A link in a folder's place is a refusal to follow it, not a missing folder.
            if (error == ENOTDIR && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return ELOOP;
            return error;
        }
        dir = std::move(next);
        at = dir.Get();
        pos = end + 1;
    }
    out = std::move(dir);
    return 0;
}

}  // namespace

bool PathAt::OpenBelowPassRoot(const std::string& path, int& error, bool openParent) {
    PassRoots::State* state = g_passRoots.load(std::memory_order_acquire);
    if (state == nullptr) return false;
    // The longest root that holds the path: the same folder may be both roots.
    PassRoots::State::Root* root = nullptr;
    std::string below;
    for (PassRoots::State::Root& candidate : state->roots) {
        std::string text;
        if (TextBelow(path, candidate.text, text) && (root == nullptr || candidate.text.size() > root->text.size())) {
            root = &candidate;
            below = std::move(text);
        }
    }
    if (root == nullptr) return false;
    const int rootFd = RootFd(*state, *root);
    if (rootFd < 0) return false;  // not there (yet): by its path, as outside a pass
    m_belowRoot = true;
    if (state->tripped.load(std::memory_order_acquire)) {
        error = ELOOP;
        return true;
    }
    while (!below.empty() && below.back() == '/') below.pop_back();
    const std::size_t slash = below.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : below.substr(0, slash);
    m_name = below.empty() ? std::string(".") : below.substr(slash == std::string::npos ? 0 : slash + 1);
    for (std::size_t pos = 0; pos < below.size();) {
        std::size_t end = below.find('/', pos);
        if (end == std::string::npos) end = below.size();
        const std::string_view name(below.data() + pos, end - pos);
        // The engine forms these paths from listed names; "." or ".." could only lead elsewhere.
        if (name == "." || name == "..") {
            error = EINVAL;
            return true;
        }
        pos = end + 1;
    }
    // Repeated separators are one, as the kernel reads them.
    std::string compact;
    for (char c : parent) {
        if (c != '/' || (!compact.empty() && compact.back() != '/')) compact.push_back(c);
    }
    if (!compact.empty() && compact.back() == '/') compact.pop_back();
    error = 0;
    if (compact.empty()) {
        m_base = rootFd;
    } else if (openParent) {
        error = OpenFolderBeneath(rootFd, compact, m_dir);
    }
    m_rootFd = rootFd;
    m_parentBelow = std::move(compact);
    return true;
}

int PathAt::OpenFolder(const std::string& path, int flags, Fd& out) {
    m_dir.Reset();
    m_base = AT_FDCWD;
    m_belowRoot = false;
    int error = 0;
    if (OpenBelowPassRoot(path, error, false)) {
        if (error != 0) return error;
#ifdef __linux__
        const std::string whole = m_parentBelow.empty() ? m_name : m_parentBelow + '/' + m_name;
        if (!g_noOpenat2.load(std::memory_order_relaxed) && whole.size() < PATH_MAX) {
            struct open_how how {};
            how.flags = static_cast<std::uint64_t>(flags | O_DIRECTORY | O_CLOEXEC);
            how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
            const long fd = ::syscall(SYS_openat2, m_rootFd, whole.c_str(), &how, sizeof how);
            if (fd >= 0) {
                out.Reset(static_cast<int>(fd));
                return 0;
            }
            if (errno != ENOSYS) return errno;  // a link on the way or at the end is already ELOOP
            g_noOpenat2.store(true, std::memory_order_relaxed);
        }
#endif
        if (!m_parentBelow.empty() && (error = OpenFolderBeneath(m_rootFd, m_parentBelow, m_dir)) != 0) return error;
    } else if ((error = OpenFromCurrentFolder(path)) != 0) {
        return error;
    }
    out.Reset(::openat(Dir(), Name(), flags | O_DIRECTORY | O_CLOEXEC | FolderFlags()));
    return out.Valid() ? 0 : FolderError(errno);
}

int PathAt::FolderError(int error) const {
    struct stat st {};
    const bool walked = m_belowRoot && Dir() != AT_FDCWD;
    if (walked && error == ENOTDIR && ::fstatat(Dir(), Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return ELOOP;
    }
    return error;
}

bool MeetsPassRoot(const std::string& path, const struct stat& folder) {
    PassRoots::State* state = g_passRoots.load(std::memory_order_acquire);
    if (state == nullptr) return false;
    // The roots themselves are listed by their own paths; anything else below a root with a root's
    // identity is a root inside a root, and a pass that went on would copy a tree into itself or
    // delete its source.
    bool meets = false;
    bool belowRoot = false;
    for (PassRoots::State::Root& root : state->roots) {
        if (root.fd.load(std::memory_order_acquire) >= 0 && root.dev == folder.st_dev && root.ino == folder.st_ino)
            meets = true;
        std::string below;
        if (TextBelow(path, root.text, below)) {
            if (below.empty()) return false;
            belowRoot = true;
        }
    }
    if (!meets || !belowRoot) return false;
    state->tripped.store(true, std::memory_order_release);
    NoteFolderChange();  // no folder kept open by path may be used from now on either
    return true;
}

namespace {

// Undoes the octal escapes (\040 for a space) that the mount table uses in paths.
std::string UnescapeMountField(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            const int value = ((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0');
            text.push_back(static_cast<char>(value));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

bool PathIsAtOrBelow(const std::string& path, const std::string& dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace

}  // namespace twinfold::posix

namespace twinfold {

bool GetFolderIdentity(const std::wstring& path, FolderIdentity& identity) {
    using namespace posix;
    const std::string bytes = BytesFromWide(path);
    if (bytes.empty() || bytes.find('\0') != std::string::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    PathAt at;
    struct stat st {};
    if (const int error = at.OpenFromCurrentFolder(bytes)) {
        SetLastErrorFromErrno(error, bytes);
        return false;
    }
    if (::fstatat(at.Dir(), at.Name(), &st, 0) != 0) {
        SetLastErrorFromErrno(errno, bytes);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    identity.volume = static_cast<std::uint64_t>(st.st_dev);
    identity.index = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool GetFolderPlace(const std::wstring& path, std::uint64_t& device, std::wstring& placeInFileSystem) {
    using namespace posix;
    const std::string resolved = ResolvePath(BytesFromWide(path));
    if (resolved.empty()) return false;
    std::unique_ptr<std::FILE, decltype(&std::fclose)> table(std::fopen("/proc/self/mountinfo", "re"), &std::fclose);
    if (!table) return false;
    std::string bestPoint;
    std::string bestRoot;
    unsigned bestMajor = 0;
    unsigned bestMinor = 0;
    bool found = false;
    char* line = nullptr;
    std::size_t capacity = 0;
    while (::getline(&line, &capacity, table.get()) > 0) {
        // id parent major:minor root mount-point ...
        unsigned major = 0;
        unsigned minor = 0;
        char root[4096];
        char point[4096];
        if (std::sscanf(line, "%*u %*u %u:%u %4095s %4095s", &major, &minor, root, point) != 4) continue;
        const std::string mountPoint = UnescapeMountField(point);
        // A later mount on the same point hides the earlier one, so ties go to the later line.
        if (!PathIsAtOrBelow(resolved, mountPoint) || (found && mountPoint.size() < bestPoint.size())) continue;
        bestPoint = mountPoint;
        bestRoot = UnescapeMountField(root);
        bestMajor = major;
        bestMinor = minor;
        found = true;
    }
    std::free(line);
    if (!found) return false;
    std::string place = bestRoot;
    const std::string rest = bestPoint == "/" ? resolved : resolved.substr(bestPoint.size());
    if (!rest.empty()) place = place == "/" ? rest : place + rest;
    device = static_cast<std::uint64_t>(makedev(bestMajor, bestMinor));
    placeInFileSystem = WideFromBytes(place);
    return true;
}

PassRoots::PassRoots(const wchar_t* srcRoot, const wchar_t* dstRoot) : m_state(new State) {
    m_state->roots[0].text = posix::WithoutTrailingSeparators(posix::PathBytes(srcRoot));
    m_state->roots[1].text = posix::WithoutTrailingSeparators(posix::PathBytes(dstRoot));
    for (State::Root& root : m_state->roots) posix::RootFd(*m_state, root);
    m_previous = posix::g_passRoots.exchange(m_state, std::memory_order_acq_rel);
    // What the layer keeps open for later lookups was opened by other rules.
    posix::NoteTreeChange();
    posix::NoteFolderChange();
}

PassRoots::~PassRoots() {
    posix::g_passRoots.store(m_previous, std::memory_order_release);
    posix::NoteTreeChange();
    posix::NoteFolderChange();
    for (State::Root& root : m_state->roots) {
        const int fd = root.fd.load(std::memory_order_acquire);
        if (fd >= 0) ::close(fd);
    }
    delete m_state;
}

}  // namespace twinfold
