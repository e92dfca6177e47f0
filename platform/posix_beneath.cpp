// POSIX only: reaching a folder below a root of the running pass from the root's descriptor, never
// through a link and never onto a mount that overlaps the other root; deep trees in linear time.
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef __linux__
#include <linux/openat2.h>
#endif

#include "platform/posix_roots.h"

namespace twinfold::posix {
namespace {

std::atomic<bool> g_noOpenat2{false};

// openat2 of `relative` (shorter than PATH_MAX) below the folder `from`, which lies below the root
// `index`, never through a link. A mount crossed on the way puts the folder opened on another mount,
// which is first checked against the other root (CheckMountBelow); the kernel tells of a crossing, so
// a tree without mounts costs nothing more. ENOSYS where the kernel has no openat2.
int OpenBeneath(PassRoots::State& state, int index, int from, const char* relative, int flags, Fd& out) {
#ifdef __linux__
    if (g_noOpenat2.load(std::memory_order_relaxed)) return ENOSYS;
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_DIRECTORY | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_XDEV;
    long fd = ::syscall(SYS_openat2, from, relative, &how, sizeof how);
    if (fd < 0 && errno == EXDEV) {
        how.resolve &= ~static_cast<std::uint64_t>(RESOLVE_NO_XDEV);
        fd = ::syscall(SYS_openat2, from, relative, &how, sizeof how);
        if (fd >= 0) {
            Fd opened(static_cast<int>(fd));
            if (const int error = CheckMountBelow(state, index, opened.Get())) return error;
            out = std::move(opened);
            return 0;
        }
    }
    if (fd < 0) {
        if (errno == ENOSYS) g_noOpenat2.store(true, std::memory_order_relaxed);
        return errno;
    }
    out.Reset(static_cast<int>(fd));
    return 0;
#else
    (void)state;
    (void)index;
    (void)from;
    (void)relative;
    (void)flags;
    (void)out;
    return ENOSYS;
#endif
}

// Opens the subfolder `name` of the folder `from` (below the root `index`) for searching, where the
// kernel has no openat2: never through a link, and checked against the other root when `check`.
int OpenStepByName(PassRoots::State& state, int index, int from, const char* name, bool check, Fd& out) {
    Fd next(::openat(from, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.Valid()) {
        const int error = errno;
        struct stat st {};
        // A link in a folder's place is a refusal to follow it, not a missing folder.
        if (error == ENOTDIR && ::fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return ELOOP;
        return error;
    }
    if (check) {
        if (const int error = CheckMountBelow(state, index, next.Get())) return error;
    }
    out = std::move(next);
    return 0;
}

// Opens `relative` (names separated by '/', no "." or "..") below the root `index` for searching,
// afresh from the root's descriptor: the kernel walks up to PATH_MAX bytes of it at a time, so even a
// folder thousands of levels down takes a few calls. Where the kernel has no openat2, one name at a
// time.
int OpenFromRoot(PassRoots::State& state, int index, const std::string& relative, Fd& out) {
    Fd dir;
    int at = state.roots[index].fd.load(std::memory_order_acquire);
    std::string piece;
    for (std::size_t pos = 0; pos < relative.size();) {
        // The longest run of whole names from `pos` that the kernel takes in one call.
        std::size_t end = relative.size();
        if (end - pos >= PATH_MAX) {
            end = relative.rfind('/', pos + PATH_MAX - 1);
            if (end == std::string::npos || end <= pos) return ENAMETOOLONG;
        }
        piece.assign(relative, pos, end - pos);
        Fd next;
        int error = OpenBeneath(state, index, at, piece.c_str(), O_PATH, next);
        if (error == ENOSYS) break;
        if (error != 0) return error;
        dir = std::move(next);
        at = dir.Get();
        pos = end + 1;
        if (pos >= relative.size()) {
            out = std::move(dir);
            return 0;
        }
    }
    // One name at a time, from the root.
    dir.Reset();
    at = state.roots[index].fd.load(std::memory_order_acquire);
    for (std::size_t pos = 0; pos < relative.size();) {
        std::size_t end = relative.find('/', pos);
        if (end == std::string::npos) end = relative.size();
        piece.assign(relative, pos, end - pos);
        Fd next;
        if (const int error = OpenStepByName(state, index, at, piece.c_str(), false, next)) return error;
        dir = std::move(next);
        at = dir.Get();
        pos = end + 1;
    }
    if (dir.Valid()) {
        if (const int error = CheckMountBelow(state, index, dir.Get())) return error;
    }
    out = std::move(dir);
    return 0;
}

// How many bytes `a` and `b` begin with alike; compared in blocks, as the paths may be long.
std::size_t CommonLength(const std::string& a, const std::string& b) {
    const std::size_t most = std::min(a.size(), b.size());
    constexpr std::size_t kBlock = 64;
    std::size_t same = 0;
    while (same + kBlock <= most && std::memcmp(a.data() + same, b.data() + same, kBlock) == 0) same += kBlock;
    while (same < most && a[same] == b[same]) ++same;
    return same;
}

// The folders below a root that the calling thread reached last, from the root down, each opened from
// its parent's descriptor, never through a link and checked against the other root where it lies on
// another mount. A walk of a tree goes from a folder to one beside or below it, so the next folder
// is a name or two away from one held here rather than a whole path away from the root: a tree
// thousands of levels deep is listed in time linear in its size. Only the kRecent deepest levels keep
// their descriptor, so that a deep tree cannot use up the descriptors of a process whose every scan
// thread holds one of these per root; a walk that climbs higher reaches its folder afresh from the
// root. What is held is given up when the layer moves or removes a folder (NoteFolderChange) and with
// the roots of a pass.
class Descent {
public:
    // Opens `relative` (as for OpenFromRoot) into `out`, a descriptor of the caller's own.
    int Open(PassRoots::State& state, int index, const std::string& relative, Fd& out) {
        const std::uint64_t changes = FolderChanges();
        if (&state != m_state || index != m_index || changes != m_changes) {
            m_levels.clear();
            m_path.clear();
            m_state = &state;
            m_index = index;
            m_changes = changes;
        }
        // The levels held that lie on the way to `relative`.
        const std::size_t same = CommonLength(m_path, relative);
        auto firstOff = std::lower_bound(m_levels.begin(), m_levels.end(), same,
                                         [](const Level& level, std::size_t at) { return level.end < at; });
        if (firstOff != m_levels.end() && firstOff->end == same && (same == relative.size() || relative[same] == '/'))
            ++firstOff;
        const std::size_t matched = static_cast<std::size_t>(firstOff - m_levels.begin());
        std::size_t held = matched;
        while (held > 0 && !m_levels[held - 1].fd.Valid()) --held;
        Truncate(matched);
        if (held < matched) {
            // Further up than the descriptors kept: the deepest folder on the way is opened afresh from
            // the root, which the kernel does in a call per PATH_MAX bytes.
            Fd reopened;
            if (const int error = OpenFromRoot(state, index, m_path, reopened)) {
                Truncate(0);
                return error;
            }
            m_levels.back().fd = std::move(reopened);
        }

        const int rootFd = state.roots[index].fd.load(std::memory_order_acquire);
        std::string name;
        for (std::size_t pos = m_path.empty() ? 0 : m_path.size() + 1; pos < relative.size();) {
            std::size_t end = relative.find('/', pos);
            if (end == std::string::npos) end = relative.size();
            name.assign(relative, pos, end - pos);
            const int from = m_levels.empty() ? rootFd : m_levels.back().fd.Get();
            Fd next;
            int error = OpenBeneath(state, index, from, name.c_str(), O_PATH, next);
            if (error == ENOSYS) error = OpenStepByName(state, index, from, name.c_str(), true, next);
            if (error != 0) return error;
            Push(relative, end, std::move(next));
            pos = end + 1;
        }
        if (m_levels.empty()) return EINVAL;  // the root itself is not asked for here
        out.Reset(::fcntl(m_levels.back().fd.Get(), F_DUPFD_CLOEXEC, 0));
        return out.Valid() ? 0 : errno;
    }

private:
    static constexpr std::size_t kRecent = 8;

    struct Level {
        std::size_t end;  // where the level's name ends in m_path
        Fd fd;            // closed for a level that gave its descriptor back
    };

    void Truncate(std::size_t levels) {
        m_levels.resize(levels);
        m_path.resize(levels == 0 ? 0 : m_levels.back().end);
    }
    void Push(const std::string& relative, std::size_t end, Fd fd) {
        m_path.append(relative, m_path.size(), end - m_path.size());
        m_levels.push_back(Level{end, std::move(fd)});
        if (m_levels.size() > kRecent) m_levels[m_levels.size() - kRecent - 1].fd.Reset();
    }

    PassRoots::State* m_state = nullptr;
    int m_index = 0;
    std::uint64_t m_changes = 0;
    std::string m_path;  // the deepest level's path below the root
    std::vector<Level> m_levels;
};

// One per root: a pass looks entries up on both sides by turns.
thread_local Descent t_descents[2];

// Whether a name of `path` (separated by '/') is "." or "..". A call below a root makes this check
// on every path, and paths thousands of levels deep are long: the C library's fast search finds each
// dot, and only a dot that begins a name is looked at closely.
bool NamesDotOrDotDot(const std::string& path) {
    const char* const text = path.data();
    const std::size_t size = path.size();
    const auto endsName = [&](std::size_t at) { return at >= size || text[at] == '/'; };
    for (const void* found = std::memchr(text, '.', size); found != nullptr;) {
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(found) - text);
        if ((at == 0 || text[at - 1] == '/') && (endsName(at + 1) || (text[at + 1] == '.' && endsName(at + 2))))
            return true;
        found = at + 1 < size ? std::memchr(text + at + 1, '.', size - at - 1) : nullptr;
    }
    return false;
}

// Whether `path` holds "//" somewhere: looked for a block at a time, in a loop the compiler can
// turn into vector instructions.
bool HasRepeatedSeparator(const std::string& path) {
    constexpr std::size_t kBlock = 64;
    const char* text = path.data();
    std::size_t at = 0;
    for (; at + kBlock < path.size(); at += kBlock) {
        unsigned hits = 0;
        for (std::size_t k = 0; k < kBlock; ++k) hits |= (text[at + k] == '/') & (text[at + k + 1] == '/');
        if (hits != 0) return true;
    }
    for (; at + 1 < path.size(); ++at) {
        if (text[at] == '/' && text[at + 1] == '/') return true;
    }
    return false;
}

// Opens `relative` below the root `index` for searching: afresh from the root, or where this thread's
// walk already holds the way.
int OpenFolderBeneath(PassRoots::State& state, int index, const std::string& relative, PathAt::Reach reach, Fd& out) {
    if (reach == PathAt::Reach::held) return t_descents[index].Open(state, index, relative, out);
    return OpenFromRoot(state, index, relative, out);
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
        error = kRootsOverlap;
        return true;
    }
    while (!below.empty() && below.back() == '/') below.pop_back();
    const std::size_t slash = below.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : below.substr(0, slash);
    m_name = below.empty() ? std::string(".") : below.substr(slash == std::string::npos ? 0 : slash + 1);
    // The engine forms these paths from listed names; "." or ".." could only lead elsewhere.
    if (NamesDotOrDotDot(below)) {
        error = EINVAL;
        return true;
    }
    // Repeated separators are one, as the kernel reads them.
    std::string compact;
    if (!HasRepeatedSeparator(parent)) {
        compact = std::move(parent);
    } else {
        for (char c : parent) {
            if (c != '/' || (!compact.empty() && compact.back() != '/')) compact.push_back(c);
        }
    }
    if (!compact.empty() && compact.back() == '/') compact.pop_back();
    error = 0;
    m_state = state;
    m_rootIndex = static_cast<int>(root - state->roots);
    if (compact.empty()) {
        m_base = rootFd;
    } else if (openParent) {
        error = OpenFolderBeneath(*state, m_rootIndex, compact, m_reach, m_dir);
    }
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
        const std::string whole = m_parentBelow.empty() ? m_name : m_parentBelow + '/' + m_name;
        if (m_reach == Reach::held && whole != ".") {
            Fd held;
            if ((error = OpenFolderBeneath(*m_state, m_rootIndex, whole, m_reach, held)) != 0) return error;
            // The folder itself, opened anew only where more than searching it is asked for.
            if ((flags & O_PATH) != 0) {
                out = std::move(held);
                return 0;
            }
            out.Reset(::openat(held.Get(), ".", flags | O_DIRECTORY | O_CLOEXEC));
            return out.Valid() ? 0 : errno;
        }
        if (whole.size() < PATH_MAX) {
            // A link on the way or at the end is already ELOOP.
            const int rootFd = m_state->roots[m_rootIndex].fd.load(std::memory_order_acquire);
            error = OpenBeneath(*m_state, m_rootIndex, rootFd, whole.c_str(), flags, out);
            if (error != ENOSYS) return error;
        }
        if (!m_parentBelow.empty() &&
            (error = OpenFolderBeneath(*m_state, m_rootIndex, m_parentBelow, m_reach, m_dir)) != 0)
            return error;
    } else if ((error = OpenFromCurrentFolder(path)) != 0) {
        return error;
    }
    out.Reset(::openat(Dir(), Name(), flags | O_DIRECTORY | O_CLOEXEC | FolderFlags()));
    if (!out.Valid()) return FolderError(errno);
    if (m_belowRoot && (error = CheckMountBelow(*m_state, m_rootIndex, out.Get())) != 0) out.Reset();
    return error;
}

int PathAt::FolderError(int error) const {
    struct stat st {};
    const bool walked = m_belowRoot && Dir() != AT_FDCWD;
    if (walked && error == ENOTDIR && ::fstatat(Dir(), Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return ELOOP;
    }
    return error;
}

}  // namespace twinfold::posix
