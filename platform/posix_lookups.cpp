// POSIX only: what lookups keep between calls on each thread: the folders looked in last, and the
// names a folder holds where its file system may find an entry under another spelling.
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

namespace {
std::atomic<std::uint64_t> g_treeChanges{0};
std::atomic<std::uint64_t> g_folderChanges{0};

// The folders the calling thread looked entries up in last, by path. A pass looks up the entries of
// one folder after another, with a few lookups elsewhere in between (a free temporary name beside a
// copy): kept open, the folder is reached without a walk from the root each time.
class FolderCache {
public:
    int Open(std::string_view path, int& error) {
        const std::uint64_t changes = g_folderChanges.load();
        if (changes != m_changes) {
            for (Slot& slot : m_slots) slot.fd.Reset();
            m_changes = changes;
        }
        ++m_clock;
        for (Slot& slot : m_slots) {
            if (slot.fd.Valid() && slot.path == path) {
                slot.used = m_clock;
                return slot.fd.Get();
            }
        }
        // The folder used longest ago makes room.
        Slot* oldest = &m_slots[0];
        for (Slot& slot : m_slots) {
            if (slot.used < oldest->used) oldest = &slot;
        }
        Slot& slot = *oldest;
        slot.used = m_clock;
        slot.fd.Reset();
        slot.path = path;
        PathAt at(PathAt::Reach::held);
        error = at.OpenFolder(slot.path, O_PATH, slot.fd);
        return error == 0 ? slot.fd.Get() : -1;
    }

private:
    static constexpr std::size_t kSlots = 4;
    struct Slot {
        std::string path;
        Fd fd;
        std::uint64_t used = 0;
    };
    Slot m_slots[kSlots];
    std::uint64_t m_clock = 0;
    std::uint64_t m_changes = 0;
};

thread_local FolderCache t_folders;

}  // namespace

void NoteTreeChange() { g_treeChanges.fetch_add(1); }
std::uint64_t TreeChanges() { return g_treeChanges.load(); }
void NoteFolderChange() { g_folderChanges.fetch_add(1); }
std::uint64_t FolderChanges() { return g_folderChanges.load(); }
int CachedFolder(std::string_view path, int& error) { return t_folders.Open(path, error); }

namespace {

// File systems that may find an entry under a name other than the one it holds, by ignoring case:
// those of USB sticks and Windows (vfat, exFAT, NTFS), network shares, Apple's, and FUSE file systems,
// which may be any of them; and those that fold case where a folder asks for it (ext4, f2fs, tmpfs).
bool MayFoldNames(int dirFd) {
    struct statfs fs {};
    if (::fstatfs(dirFd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case MSDOS_SUPER_MAGIC:
        case 0x2011BAB0:  // exFAT
        case 0x7366746E:  // NTFS (ntfs3)
        case 0x5346544E:  // NTFS
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case SMB_SUPER_MAGIC:
        case 0x482B:      // HFS+
        case 0x65735546:  // FUSE
            return true;
        case EXT4_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case TMPFS_MAGIC: {
            Fd folder(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            int flags = 0;
            return folder.Valid() && ::ioctl(folder.Get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
        }
        default:
            return false;
    }
}

// The name a folder holds for an entry that a lookup of `name` found there, where its file system
// may have matched another spelling: looked for in the folder's listing, by inode, then by name
// ignoring case. Asked once per file system (by device, with the first folder met standing for its
// file system) and listing once per folder until the tree changes, on each thread.
class HeldNames {
public:
    std::string Held(int dirFd, std::string_view folder, const char* name, const struct stat& st) {
        if (!Folds(dirFd, st.st_dev)) return name;
        const std::uint64_t changes = TreeChanges();
        if (folder != m_folder || changes != m_changes || !m_listed) {
            m_folder = folder;
            m_changes = changes;
            m_listed = List(dirFd);
        }
        if (!m_listed) return name;
        const auto exact = std::find_if(m_names.begin(), m_names.end(), [&](const auto& e) { return e.second == name; });
        if (exact != m_names.end()) return name;
        for (const auto& [inode, held] : m_names) {
            if (inode == st.st_ino) return held;
        }
        const std::wstring asked = WideFromBytes(name);
        for (const auto& [inode, held] : m_names) {
            if (SameNameIgnoringCase(WideFromBytes(held), asked)) return held;
        }
        return name;
    }

private:
    bool Folds(int dirFd, dev_t device) {
        for (const auto& [known, folds] : m_devices) {
            if (known == device) return folds;
        }
        const bool folds = MayFoldNames(dirFd);
        m_devices.emplace_back(device, folds);
        return folds;
    }
    bool List(int dirFd) {
        m_names.clear();
        Fd folder(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.Valid()) return false;
        DirReader reader(folder.Get());
        DirReader::Entry entry{};
        while (reader.Next(entry, m_folder)) {
            if (std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0) {
                m_names.emplace_back(entry.inode, entry.name);
            }
        }
        return errno == 0;
    }

    std::vector<std::pair<dev_t, bool>> m_devices;
    std::string m_folder;
    std::uint64_t m_changes = 0;
    bool m_listed = false;
    std::vector<std::pair<ino_t, std::string>> m_names;
};

thread_local HeldNames t_heldNames;

}  // namespace

std::string HeldName(int dirFd, std::string_view folder, const char* name, const struct stat& st) {
    return t_heldNames.Held(dirFd, folder, name, st);
}

}  // namespace twinfold::posix
