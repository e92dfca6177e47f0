// POSIX only: path text helpers, ResolveFullPath (used to tell whether two roots overlap) and the
// comparison of names ignoring case. Reads the file system (realpath, getcwd) but never changes it.
#include <locale.h>
#include <wctype.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

std::string PathBytes(LPCWSTR path) { return path ? BytesFromWide(path) : std::string(); }

std::string JoinPath(const std::string& dir, std::string_view name) {
    std::string joined = dir;
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += name;
    return joined;
}

bool SplitLast(const std::string& path, std::string& parent, std::string& name) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return false;
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        parent = ".";
        name = path.substr(0, end);
        return true;
    }
    name = path.substr(slash + 1, end - slash - 1);
    std::size_t parentEnd = slash;
    while (parentEnd > 0 && path[parentEnd - 1] == '/') --parentEnd;
    parent = parentEnd == 0 ? std::string("/") : path.substr(0, parentEnd);
    return true;
}

int PathAt::Open(const std::string& path) {
    m_dir.Reset();
    m_base = AT_FDCWD;
    m_belowRoot = false;
    int error = 0;
    if (OpenBelowPassRoot(path, error)) return error;
    return OpenFromCurrentFolder(path);
}

int PathAt::OpenFromCurrentFolder(const std::string& path) {
    m_dir.Reset();
    m_base = AT_FDCWD;
    m_belowRoot = false;
    const std::size_t last = path.find_last_not_of('/');
    const std::size_t slash = last == std::string::npos ? std::string::npos : path.rfind('/', last);
    if (path.size() < PATH_MAX || slash == std::string::npos) {
        // Short enough, or one component that long: the kernel answers for itself.
        m_name = path;
        return 0;
    }
    // Trailing separators stay with the name, where they keep their meaning (a link then is followed).
    m_name = path.substr(slash + 1);

    // O_PATH: passing through a folder needs only search permission, as in a walk by the kernel.
#ifdef O_PATH
    constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    Fd dir(::open(path[0] == '/' ? "/" : ".", kWalkFlags));
    if (!dir.Valid()) return errno;
    std::size_t pos = 0;
    for (;;) {
        while (pos < slash && path[pos] == '/') ++pos;
        if (pos >= slash) break;
        // As many whole components as one call takes (at least one; a name too long fails as it would).
        std::size_t end = path.find('/', pos);
        for (std::size_t next = end; next < slash && next - pos < PATH_MAX;) {
            end = next;
            next = path.find('/', next + 1);
            if (next == std::string::npos || next > slash) next = slash;
            if (next - pos < PATH_MAX) end = next;
        }
        const std::string chunk = path.substr(pos, end - pos);
        Fd next(::openat(dir.Get(), chunk.c_str(), kWalkFlags));
        if (!next.Valid()) return errno;
        dir = std::move(next);
        pos = end;
    }
    m_dir = std::move(dir);
    return 0;
}

namespace {

// realpath of an existing path, or false.
bool RealPath(const std::string& path, std::string& resolved) {
    std::unique_ptr<char, decltype(&std::free)> result(::realpath(path.c_str(), nullptr), &std::free);
    if (!result) return false;
    resolved = result.get();
    return true;
}

std::string LexicalParent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return (slash == std::string::npos || slash == 0) ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string ResolvePath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return std::string();
    std::string absolute = path;
    if (absolute[0] != '/') {
        std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) return std::string();
        absolute = JoinPath(cwd.get(), path);
    }

    // Component by component, so that a ".." after a link climbs out of the link's target (as the
    // kernel does), and a ".." after a missing part returns to the resolved folder before it.
    struct Step {
        std::string path;
        bool exists;
    };
    std::vector<Step> steps{{"/", true}};
    std::size_t pos = 0;
    while (pos < absolute.size()) {
        std::size_t next = absolute.find('/', pos);
        if (next == std::string::npos) next = absolute.size();
        const std::string component = absolute.substr(pos, next - pos);
        pos = next + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (steps.size() == 1) continue;  // "/.." is "/"
            if (steps.back().exists) {
                // A resolved step is a real folder, so its lexical parent is its real parent.
                steps.back().path = LexicalParent(steps.back().path);
            } else {
                steps.pop_back();
            }
            continue;
        }
        const Step& last = steps.back();
        const std::string candidate = JoinPath(last.path, component);
        std::string resolved;
        if (last.exists && RealPath(candidate, resolved)) {
            steps.push_back({resolved, true});
        } else {
            steps.push_back({candidate, false});
        }
    }
    return steps.back().path;
}

std::string ResolveEntryPath(const std::string& path) {
    std::string parent;
    std::string name;
    if (!SplitLast(path, parent, name) || name == "." || name == "..") return ResolvePath(path);
    const std::string resolvedParent = ResolvePath(parent);
    return resolvedParent.empty() ? std::string() : JoinPath(resolvedParent, name);
}

}  // namespace twinfold::posix

namespace twinfold {

std::wstring ResolveFullPath(const std::wstring& path) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return std::wstring();
    return WideFromBytes(posix::ResolvePath(BytesFromWide(path)));
}

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    // The case rules of every script, whatever locale the user runs in; plain ASCII where the C
    // library has no such locale.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        const auto lower = [](wchar_t c) {
            if (unicode != static_cast<locale_t>(nullptr)) return static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), unicode));
            return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace twinfold
