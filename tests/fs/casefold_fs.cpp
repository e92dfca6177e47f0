// casefold_fs BACKING MOUNTPOINT: a FUSE file system for the tests that shows the folder BACKING at
// MOUNTPOINT the way a USB stick's vfat or exFAT shows its files: names keep the case they were made
// with, but a name matches an entry whatever the case of its letters. Runs in the foreground until
// it is unmounted. A test tool: everything is done by path, one request at a time.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

std::string g_backing;

// The backing path of `path`: each name is the entry of that name or, failing that, the one whose
// name differs only in the case of ASCII letters; a name that matches nothing stays as given.
std::string Resolve(const char* path) {
    std::string resolved = g_backing;
    std::string rest = path;
    std::size_t start = 0;
    while (start < rest.size()) {
        while (start < rest.size() && rest[start] == '/') ++start;
        if (start >= rest.size()) break;
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        const std::string name = rest.substr(start, end - start);
        std::string chosen = name;
        struct stat st {};
        if (::lstat((resolved + "/" + name).c_str(), &st) != 0) {
            if (DIR* dir = ::opendir(resolved.c_str())) {
                while (const dirent* entry = ::readdir(dir)) {
                    if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
                        chosen = entry->d_name;
                        break;
                    }
                }
                ::closedir(dir);
            }
        }
        resolved += "/" + chosen;
        start = end;
    }
    return resolved;
}

// The backing path of a new entry `path`: its folder resolved, its own name as given.
std::string ResolveNew(const char* path) {
    const std::string text = path;
    const std::size_t slash = text.rfind('/');
    const std::string parent = slash == 0 ? "/" : text.substr(0, slash);
    return Resolve(parent.c_str()) + text.substr(slash);
}

int Result(int result) { return result < 0 ? -errno : result; }

int GetAttr(const char* path, struct stat* st, fuse_file_info*) { return Result(::lstat(Resolve(path).c_str(), st)); }

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    DIR* dir = ::opendir(Resolve(path).c_str());
    if (dir == nullptr) return -errno;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    ::closedir(dir);
    return 0;
}

// A name that only differs in case from one there is that entry: making it anew is refused.
int RefuseTwin(const char* path) {
    struct stat st {};
    return ::lstat(Resolve(path).c_str(), &st) == 0 ? -EEXIST : 0;
}

int MakeDir(const char* path, mode_t mode) {
    if (const int twin = RefuseTwin(path)) return twin;
    return Result(::mkdir(ResolveNew(path).c_str(), mode));
}

int MakeNode(const char* path, mode_t mode, dev_t device) {
    if (const int twin = RefuseTwin(path)) return twin;
    return Result(::mknod(ResolveNew(path).c_str(), mode, device));
}

int Symlink(const char* target, const char* path) {
    if (const int twin = RefuseTwin(path)) return twin;
    return Result(::symlink(target, ResolveNew(path).c_str()));
}

int ReadLink(const char* path, char* buffer, std::size_t size) {
    const ssize_t length = ::readlink(Resolve(path).c_str(), buffer, size - 1);
    if (length < 0) return -errno;
    buffer[length] = '\0';
    return 0;
}

int Unlink(const char* path) { return Result(::unlink(Resolve(path).c_str())); }
int RemoveDir(const char* path) { return Result(::rmdir(Resolve(path).c_str())); }

// A rename to a name the entry already answers to gives it that spelling, as on vfat.
int Rename(const char* from, const char* to, unsigned int flags) {
    const std::string source = Resolve(from);
    const std::string existing = Resolve(to);
    struct stat a {}, b {};
    const bool sameEntry = ::lstat(source.c_str(), &a) == 0 && ::lstat(existing.c_str(), &b) == 0 &&
                           a.st_ino == b.st_ino && a.st_dev == b.st_dev;
    if (sameEntry) return Result(::rename(source.c_str(), ResolveNew(to).c_str()));
    if ((flags & RENAME_NOREPLACE) && ::lstat(existing.c_str(), &b) == 0) return -EEXIST;
    return Result(::rename(source.c_str(), existing.c_str()));
}

int Chmod(const char* path, mode_t mode, fuse_file_info*) { return Result(::chmod(Resolve(path).c_str(), mode)); }
int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
    return Result(::lchown(Resolve(path).c_str(), uid, gid));
}
int Truncate(const char* path, off_t size, fuse_file_info* info) {
    return Result(info != nullptr ? ::ftruncate(static_cast<int>(info->fh), size) : ::truncate(Resolve(path).c_str(), size));
}
int Utimens(const char* path, const struct timespec times[2], fuse_file_info*) {
    return Result(::utimensat(AT_FDCWD, Resolve(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int Create(const char* path, mode_t mode, fuse_file_info* info) {
    if ((info->flags & O_EXCL) != 0) {
        if (const int twin = RefuseTwin(path)) return twin;
    }
    const int fd = ::open(ResolveNew(path).c_str(), info->flags, mode);
    if (fd < 0) return -errno;
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}
int Open(const char* path, fuse_file_info* info) {
    const int fd = ::open(Resolve(path).c_str(), info->flags);
    if (fd < 0) return -errno;
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}
int Read(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    return Result(static_cast<int>(::pread(static_cast<int>(info->fh), buffer, size, offset)));
}
int Write(const char*, const char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    return Result(static_cast<int>(::pwrite(static_cast<int>(info->fh), buffer, size, offset)));
}
int Release(const char*, fuse_file_info* info) { return Result(::close(static_cast<int>(info->fh))); }
int Fsync(const char*, int, fuse_file_info* info) { return Result(::fsync(static_cast<int>(info->fh))); }
int StatFs(const char*, struct statvfs* st) { return Result(::statvfs(g_backing.c_str(), st)); }

void* Init(fuse_conn_info*, fuse_config* config) {
    // Nothing cached in the kernel: every lookup comes here and is matched ignoring case.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->use_ino = 1;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: casefold_fs BACKING MOUNTPOINT\n", stderr);
        return 2;
    }
    g_backing = argv[1];
    fuse_operations operations{};
    operations.init = Init;
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.mkdir = MakeDir;
    operations.mknod = MakeNode;
    operations.symlink = Symlink;
    operations.readlink = ReadLink;
    operations.unlink = Unlink;
    operations.rmdir = RemoveDir;
    operations.rename = Rename;
    operations.chmod = Chmod;
    operations.chown = Chown;
    operations.truncate = Truncate;
    operations.utimens = Utimens;
    operations.create = Create;
    operations.open = Open;
    operations.read = Read;
    operations.write = Write;
    operations.release = Release;
    operations.fsync = Fsync;
    operations.statfs = StatFs;
    char* arguments[] = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s")};
    return fuse_main(4, arguments, &operations, nullptr);
}
