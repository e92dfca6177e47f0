// POSIX only: folder identity and place (device, inode, mount table), and the roots of a pass, from
// whose descriptors every call below a root walks one name at a time. Never follows a link below a root.
#include <sys/sysmacros.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_set>

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
        std::uint64_t mountId = 0;  // of the mount that holds the root; valid once fd is, when hasMountId
        bool hasMountId = false;
    };
    Root roots[2];
    std::mutex opening;
    // Set when a listing met a root below a root, or a folder below a root lies on a mount that
    // overlaps the other root: from then on nothing below the roots is trusted.
    std::atomic<bool> tripped{false};

    // Mounts below the roots that were found not to overlap the other root, and where each root lies
    // in its file system (see GetFolderPlace), found once it is needed.
    std::mutex mounts;
    std::unordered_set<std::uint64_t> harmlessMounts;
    struct Place {
        bool known = false;
        bool found = false;
        dev_t device = 0;
        std::string path;
    };
    Place places[2];
};

namespace twinfold::posix {
namespace {

std::atomic<PassRoots::State*> g_passRoots{nullptr};

// The mount that holds the folder `fd` (what /proc/self/mountinfo numbers it), where the kernel tells.
bool MountIdOf(int fd, std::uint64_t& id) {
#ifdef STATX_MNT_ID
    struct statx stx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &stx) != 0 || (stx.stx_mask & STATX_MNT_ID) == 0) return false;
    id = stx.stx_mnt_id;
    return true;
#else
    (void)fd;
    (void)id;
    return false;
#endif
}

// One line of the mount table, its paths unescaped.
struct MountLine {
    std::uint64_t id = 0;
    dev_t device = 0;
    std::string root;   // the folder of its file system that the mount shows
    std::string point;  // where it is mounted
};

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

// Calls `each` with every line of the mount table, in its order, until it returns false. False when
// the table cannot be read.
template <typename Each>
bool ForEachMount(const Each& each) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> table(std::fopen("/proc/self/mountinfo", "re"), &std::fclose);
    if (!table) return false;
    struct LineBuffer {
        char* text = nullptr;
        std::size_t capacity = 0;
        ~LineBuffer() { std::free(text); }
    } line;
    while (::getline(&line.text, &line.capacity, table.get()) > 0) {
        const char* text = line.text;
        // id parent major:minor root mount-point ...
        unsigned long long id = 0;
        unsigned major = 0;
        unsigned minor = 0;
        char root[4096];
        char point[4096];
        if (std::sscanf(text, "%llu %*u %u:%u %4095s %4095s", &id, &major, &minor, root, point) != 5) continue;
        const MountLine mount{id, makedev(major, minor), UnescapeMountField(root), UnescapeMountField(point)};
        if (!each(mount)) break;
    }
    return true;
}

bool PathIsAtOrBelow(const std::string& path, const std::string& dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

// Byte form of twinfold::GetFolderPlace.
bool FolderPlace(const std::string& path, dev_t& device, std::string& place) {
    const std::string resolved = ResolvePath(path);
    if (resolved.empty()) return false;
    MountLine best;
    bool found = false;
    const bool read = ForEachMount([&](const MountLine& mount) {
        // A later mount on the same point hides the earlier one, so ties go to the later line.
        if (PathIsAtOrBelow(resolved, mount.point) && (!found || mount.point.size() >= best.point.size())) {
            best = mount;
            found = true;
        }
        return true;
    });
    if (!read || !found) return false;
    place = best.root;
    const std::string rest = best.point == "/" ? resolved : resolved.substr(best.point.size());
    if (!rest.empty()) place = place == "/" ? rest : place + rest;
    device = best.device;
    return true;
}

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
    root.hasMountId = MountIdOf(opened.Get(), root.mountId);
    root.fd.store(opened.Get(), std::memory_order_release);
    return opened.Release();
}

// Whether the mount `mount` overlaps the root `other` by the rule the roots themselves are checked by:
// on the same device, the folder it shows lies at or below the root's place, or holds it.
bool Overlaps(const MountLine& mount, const PassRoots::State::Place& other) {
    return other.found && mount.device == other.device &&
           (PathIsAtOrBelow(mount.root, other.path) || PathIsAtOrBelow(other.path, mount.root));
}

// Checks the mount that holds the folder `fd`, found below the root `index`, against the other root,
// once per mount and pass. 0, or kRootsOverlap when it overlaps: then the roots are tripped. A mount
// that the table does not hold or that cannot be placed is let be, as roots that cannot be placed are.
int CheckMountBelow(PassRoots::State& state, int index, int fd) {
    const PassRoots::State::Root& root = state.roots[index];
    std::uint64_t id = 0;
    if (!root.hasMountId || !MountIdOf(fd, id) || id == root.mountId) return 0;
    const PassRoots::State::Root& other = state.roots[1 - index];
    // The same folder on both sides: a job that does nothing, and every mount below is below both.
    if (other.fd.load(std::memory_order_acquire) >= 0 && other.dev == root.dev && other.ino == root.ino) return 0;
    std::lock_guard<std::mutex> lock(state.mounts);
    if (state.harmlessMounts.count(id) != 0) return 0;
    PassRoots::State::Place& place = state.places[1 - index];
    if (!place.known) {
        place.known = true;
        place.found = FolderPlace(other.text, place.device, place.path);
    }
    bool overlaps = false;
    ForEachMount([&](const MountLine& mount) {
        if (mount.id != id) return true;
        overlaps = Overlaps(mount, place);
        return false;
    });
    if (!overlaps) {
        state.harmlessMounts.insert(id);
        return 0;
    }
    state.tripped.store(true, std::memory_order_release);
    NoteFolderChange();
    return kRootsOverlap;
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

// openat2 of `relative` below the root `index`, never through a link. A mount crossed on the way puts
// the folder opened on another mount, which is first checked against the other root (CheckMountBelow);
// the kernel tells of a crossing, so a tree without mounts costs nothing more. ENOSYS where the kernel
// has no openat2.
int OpenBeneath(PassRoots::State& state, int index, const std::string& relative, int flags, Fd& out) {
#ifdef __linux__
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_DIRECTORY | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_XDEV;
    const int rootFd = state.roots[index].fd.load(std::memory_order_acquire);
    long fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
    if (fd < 0 && errno == EXDEV) {
        how.resolve &= ~static_cast<std::uint64_t>(RESOLVE_NO_XDEV);
        fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            Fd opened(static_cast<int>(fd));
            if (const int error = CheckMountBelow(state, index, opened.Get())) return error;
            out = std::move(opened);
            return 0;
        }
    }
    if (fd < 0) return errno;
    out.Reset(static_cast<int>(fd));
    return 0;
#else
    (void)state;
    (void)index;
    (void)relative;
    (void)flags;
    (void)out;
    return ENOSYS;
#endif
}

std::atomic<bool> g_noOpenat2{false};

// Opens `relative` (names separated by '/', no "." or "..") below the root `index` for searching,
// never through a link, and never on a mount that overlaps the other root. The kernel does it in one
// call where it can; otherwise one name at a time.
int OpenFolderBeneath(PassRoots::State& state, int index, const std::string& relative, Fd& out) {
    if (!g_noOpenat2.load(std::memory_order_relaxed) && relative.size() < PATH_MAX) {
        const int error = OpenBeneath(state, index, relative, O_PATH, out);
        if (error != ENOSYS) return error;
        g_noOpenat2.store(true, std::memory_order_relaxed);
    }
    Fd dir;
    int at = state.roots[index].fd.load(std::memory_order_acquire);
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
    if (dir.Valid()) {
        if (const int error = CheckMountBelow(state, index, dir.Get())) return error;
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
        error = kRootsOverlap;
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
    m_state = state;
    m_rootIndex = static_cast<int>(root - state->roots);
    if (compact.empty()) {
        m_base = rootFd;
    } else if (openParent) {
        error = OpenFolderBeneath(*state, m_rootIndex, compact, m_dir);
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
        if (!g_noOpenat2.load(std::memory_order_relaxed) && whole.size() < PATH_MAX) {
            // A link on the way or at the end is already ELOOP.
            error = OpenBeneath(*m_state, m_rootIndex, whole, flags, out);
            if (error != ENOSYS) return error;
            g_noOpenat2.store(true, std::memory_order_relaxed);
        }
        if (!m_parentBelow.empty() && (error = OpenFolderBeneath(*m_state, m_rootIndex, m_parentBelow, m_dir)) != 0)
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

int CheckFolderMount(const std::string& path, int fd) {
    PassRoots::State* state = g_passRoots.load(std::memory_order_acquire);
    if (state == nullptr) return 0;
    int index = -1;
    std::size_t longest = 0;
    for (int i = 0; i < 2; ++i) {
        std::string below;
        const std::string& text = state->roots[i].text;
        if (TextBelow(path, text, below) && text.size() >= longest && state->roots[i].fd.load() >= 0) {
            index = i;
            longest = text.size();
        }
    }
    return index < 0 ? 0 : CheckMountBelow(*state, index, fd);
}

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
    dev_t placeDevice = 0;
    std::string place;
    if (!posix::FolderPlace(BytesFromWide(path), placeDevice, place)) return false;
    device = static_cast<std::uint64_t>(placeDevice);
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
