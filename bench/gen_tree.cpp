// Makes the trees the benchmark mirrors, and the changed copy used for the incremental run.
//
//   gen_tree make   ROOT FILES FOLDERS TOTAL_BYTES MAX_FILE_BYTES SEED
//   gen_tree change ROOT PERCENT SEED
//   gen_tree deep   ROOT LEVELS
//   gen_tree check-deep ROOT LEVELS
//
// `make` creates ROOT (which must not exist) with FOLDERS folders below it, nested at random, and
// FILES files spread over them and over ROOT. File sizes follow a log-normal law (many small files,
// a long tail) scaled so that they add up to about TOTAL_BYTES, none above MAX_FILE_BYTES.
// The same arguments always give the same names, sizes and contents.
//
// `change` alters a tree in place: PERCENT of its files get a new size, another PERCENT are
// removed, and PERCENT new files are added. A resized file is written under a new name and renamed
// over the old one, so a tree made with `cp -al` from a pristine one leaves the pristine one intact.
//
// `deep` creates ROOT as a chain of LEVELS folders named "d", one inside the other, with a file "f"
// in each folder holding its level's number: far past PATH_MAX, so everything is made by descriptor.
// `check-deep` tells whether ROOT holds exactly such a chain (exit 0) or not (exit 1, with where).
//
// All print one line: what they did, in numbers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "gen_tree: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// One fixed block of pseudo-random bytes; each file takes its contents from a seeded offset in it.
class Contents {
public:
    explicit Contents(std::uint64_t seed) : m_bytes(kSize + kMaxChunk) {
        std::mt19937_64 rng(seed ^ 0x9e3779b97f4a7c15ULL);
        for (size_t i = 0; i + 8 <= m_bytes.size(); i += 8) {
            const std::uint64_t v = rng();
            std::memcpy(&m_bytes[i], &v, 8);
        }
    }

    void Write(int fd, std::uint64_t size, std::mt19937_64& rng, const std::string& path) const {
        std::uint64_t left = size;
        while (left > 0) {
            const size_t chunk = static_cast<size_t>(std::min<std::uint64_t>(left, kMaxChunk));
            const char* from = &m_bytes[rng() % kSize];
            size_t done = 0;
            while (done < chunk) {
                const ssize_t n = ::write(fd, from + done, chunk - done);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    Die("write " + path);
                }
                done += static_cast<size_t>(n);
            }
            left -= chunk;
        }
    }

private:
    static constexpr size_t kSize = 8u << 20;
    static constexpr size_t kMaxChunk = 1u << 20;
    std::vector<char> m_bytes;
};

void WriteFile(const std::string& path, std::uint64_t size, const Contents& contents, std::mt19937_64& rng) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Die("create " + path);
    contents.Write(fd, size, rng, path);
    if (::close(fd) != 0) Die("close " + path);
}

// Names like real ones: a few syllables, sometimes a separator or a number, then an extension.
std::string MakeName(std::mt19937_64& rng, bool folder, size_t serial) {
    static const char* const kSyllables[] = {"re", "port", "an", "nu", "al", "draft", "meet", "ing",
                                             "notes", "pho", "to", "in", "voice", "bud", "get", "plan",
                                             "sum", "mer", "pro", "ject", "da", "ta", "back", "up",
                                             "scan", "let", "ter", "con", "tract", "min", "utes", "q"};
    static const char* const kExtensions[] = {".txt", ".pdf", ".docx", ".jpg", ".png", ".xlsx", ".md",
                                              ".cpp", ".h", ".json", ".csv", ".odt", ".zip", ".log"};
    static const char* const kSeparators[] = {"", "_", "-", " "};
    std::string name;
    const int syllables = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < syllables; ++i) {
        if (i > 0 && rng() % 3 == 0) name += kSeparators[rng() % 4];
        name += kSyllables[rng() % (sizeof kSyllables / sizeof *kSyllables)];
    }
    // The serial keeps names unique within a folder whatever the syllables came out as.
    name += (rng() % 2 == 0 ? "-" : "_") + std::to_string(serial);
    if (!folder) name += kExtensions[rng() % (sizeof kExtensions / sizeof *kExtensions)];
    return name;
}

int Make(const std::string& root, std::uint64_t files, std::uint64_t folders, std::uint64_t totalBytes,
         std::uint64_t maxFileBytes, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const Contents contents(seed);

    // Folder 0 is the root; every later folder hangs below a random earlier one, which gives the
    // shallow-but-ragged shape of real trees (depth grows like the logarithm of the count).
    std::vector<std::string> paths{root};
    paths.reserve(folders + 1);
    if (::mkdir(root.c_str(), 0755) != 0) Die("mkdir " + root);
    for (std::uint64_t i = 1; i <= folders; ++i) {
        const std::string& parent = paths[rng() % paths.size()];
        paths.push_back(parent + "/" + MakeName(rng, true, i));
        if (::mkdir(paths.back().c_str(), 0755) != 0) Die("mkdir " + paths.back());
    }

    // Sizes: log-normal, then scaled to the wanted total; the scaling is repeated because the cap
    // takes away some of the mass each time.
    std::lognormal_distribution<double> law(0.0, 1.6);
    std::vector<double> raw(files);
    for (double& r : raw) r = law(rng);
    std::vector<std::uint64_t> sizes(files);
    double scale = 1.0;
    for (int round = 0; round < 4 && files > 0; ++round) {
        double sum = 0;
        for (std::uint64_t i = 0; i < files; ++i) {
            sizes[i] = std::min<std::uint64_t>(maxFileBytes, static_cast<std::uint64_t>(raw[i] * scale));
            sum += static_cast<double>(sizes[i]);
        }
        if (sum <= 0) break;
        scale *= static_cast<double>(totalBytes) / sum;
    }

    std::uint64_t written = 0;
    for (std::uint64_t i = 0; i < files; ++i) {
        const std::string& folder = paths[rng() % paths.size()];
        WriteFile(folder + "/" + MakeName(rng, false, i), sizes[i], contents, rng);
        written += sizes[i];
    }
    std::printf("made %s: %llu files, %llu folders, %llu bytes, largest %llu\n", root.c_str(),
                static_cast<unsigned long long>(files), static_cast<unsigned long long>(folders),
                static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(files ? *std::max_element(sizes.begin(), sizes.end()) : 0));
    return 0;
}

struct Listing {
    std::vector<std::string> folders;  // root included
    std::vector<std::string> files;
};

void List(const std::string& path, Listing& out) {
    out.folders.push_back(path);
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) Die("opendir " + path);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = path + "/" + entry->d_name;
        struct stat st {};
        if (::lstat(child.c_str(), &st) != 0) Die("lstat " + child);
        if (S_ISDIR(st.st_mode)) {
            List(child, out);
        } else if (S_ISREG(st.st_mode)) {
            out.files.push_back(child);
        }
    }
    ::closedir(dir);
}

int Change(const std::string& root, double percent, std::uint64_t seed) {
    Listing listing;
    List(root, listing);
    // Sorted, so that the choice does not depend on the order the file system lists in.
    std::sort(listing.folders.begin(), listing.folders.end());
    std::sort(listing.files.begin(), listing.files.end());
    std::mt19937_64 rng(seed);
    const Contents contents(seed + 1);

    const auto count = static_cast<size_t>(std::llround(static_cast<double>(listing.files.size()) * percent / 100.0));
    if (2 * count > listing.files.size()) {
        errno = EINVAL;
        Die("too few files to change");
    }
    std::vector<std::string> chosen = listing.files;
    std::shuffle(chosen.begin(), chosen.end(), rng);

    for (size_t i = 0; i < count; ++i) {  // resize
        const std::string& path = chosen[i];
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) Die("stat " + path);
        const auto old = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t delta = 1 + rng() % 4096;
        const std::uint64_t size = (old > delta && rng() % 2 == 0) ? old - delta : old + delta;
        const std::string temp = path + ".gen-tmp";
        WriteFile(temp, size, contents, rng);
        if (::rename(temp.c_str(), path.c_str()) != 0) Die("rename " + temp);
    }
    for (size_t i = count; i < 2 * count; ++i) {  // remove
        if (::unlink(chosen[i].c_str()) != 0) Die("unlink " + chosen[i]);
    }
    std::lognormal_distribution<double> law(std::log(3000.0), 1.6);
    for (size_t i = 0; i < count; ++i) {  // add
        const std::string& folder = listing.folders[rng() % listing.folders.size()];
        const auto size = static_cast<std::uint64_t>(std::min(law(rng), 4e6));
        WriteFile(folder + "/added-" + std::to_string(i) + ".dat", size, contents, rng);
    }
    std::printf("changed %s: %zu resized, %zu removed, %zu added (of %zu files)\n", root.c_str(), count, count,
                count, listing.files.size());
    return 0;
}

// The chain of `deep`, made (`make`) or checked against what it should hold.
int Deep(const std::string& root, std::uint64_t levels, bool make) {
    if (make && ::mkdir(root.c_str(), 0755) != 0) Die("mkdir " + root);
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) Die("open " + root);
    for (std::uint64_t level = 0; level <= levels; ++level) {
        const std::string content = std::to_string(level);
        const bool last = level == levels;
        if (make) {
            const int fd = ::openat(dir, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
                ::close(fd) != 0)
                Die("write f at level " + content);
            if (!last && ::mkdirat(dir, "d", 0755) != 0) Die("mkdir d at level " + content);
        } else {
            // Exactly "f" with the level's number, and "d" but at the bottom.
            DIR* listing = ::fdopendir(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (listing == nullptr) Die("list level " + content);
            std::vector<std::string> names;
            while (dirent* entry = ::readdir(listing)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
            }
            ::closedir(listing);
            std::sort(names.begin(), names.end());
            char held[32] = {};
            const int fd = ::openat(dir, "f", O_RDONLY | O_CLOEXEC);
            const ssize_t got = fd < 0 ? -1 : ::read(fd, held, sizeof held - 1);
            if (fd >= 0) ::close(fd);
            const std::vector<std::string> want = last ? std::vector<std::string>{"f"} : std::vector<std::string>{"d", "f"};
            if (names != want || got < 0 || content != held) {
                std::printf("gen_tree: the chain differs at level %s\n", content.c_str());
                return 1;
            }
        }
        if (last) break;
        const int next = ::openat(dir, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) Die("open d at level " + content);
        ::close(dir);
        dir = next;
    }
    ::close(dir);
    std::printf("%s: a chain of %llu levels, %s\n", root.c_str(), static_cast<unsigned long long>(levels),
                make ? "made" : "as it should be");
    return 0;
}

std::uint64_t Number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        std::fprintf(stderr, "gen_tree: not a number: %s\n", text);
        std::exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc == 8) {
        return Make(argv[2], Number(argv[3]), Number(argv[4]), Number(argv[5]), Number(argv[6]), Number(argv[7]));
    }
    if (mode == "change" && argc == 5) return Change(argv[2], std::strtod(argv[3], nullptr), Number(argv[4]));
    if ((mode == "deep" || mode == "check-deep") && argc == 4) return Deep(argv[2], Number(argv[3]), mode == "deep");
    std::fprintf(stderr,
                 "usage: gen_tree make ROOT FILES FOLDERS TOTAL_BYTES MAX_FILE_BYTES SEED\n"
                 "       gen_tree change ROOT PERCENT SEED\n"
                 "       gen_tree deep ROOT LEVELS | check-deep ROOT LEVELS\n");
    return 2;
}
