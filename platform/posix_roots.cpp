// POSIX only: folder identity and place (device, inode, mount table), and the roots of a pass: pinned
// by identity, checked against each other and against every mount found below them.
#include <sys/sysmacros.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/posix_roots.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

std::atomic<PassRoots::State*> g_passRoots{nullptr};

namespace {

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

}  // namespace

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

namespace {

// Whether the mount `mount` overlaps the root `other` by the rule the roots themselves are checked by:
// on the same device, the folder it shows lies at or below the root's place, or holds it.
bool Overlaps(const MountLine& mount, const PassRoots::State::Place& other) {
    return other.found && mount.device == other.device &&
           (PathIsAtOrBelow(mount.root, other.path) || PathIsAtOrBelow(other.path, mount.root));
}

}  // namespace

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

namespace {

std::string WithoutTrailingSeparators(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

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
