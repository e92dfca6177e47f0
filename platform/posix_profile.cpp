// POSIX only: GetPrivateProfileStringW / WritePrivateProfileStringW over UTF-8 INI files.
// Reads one value, writes one value; never enumerates, and never rewrites a file in place.
#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>

#include "platform/posix_internal.h"
#include "platform/posix_text.h"

namespace twinfold::posix {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return AsciiLower(x) == AsciiLower(y); });
}

bool IsQuote(wchar_t c) { return c == L'"' || c == L'\''; }

struct ParsedLine {
    enum class Kind { other, section, key } kind = Kind::other;
    std::wstring name;   // section or key
    std::wstring value;  // key only, trimmed and unquoted
};

// A line as read, without the carriage return of a CRLF line end. The lines themselves keep it, so
// that rewriting the file for one setting leaves every other line exactly as it was.
std::wstring LineText(const std::string& line) {
    std::string_view bytes(line);
    if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
    return WideFromBytes(bytes);
}

ParsedLine Parse(const std::string& line) {
    ParsedLine parsed;
    const std::wstring wide = LineText(line);
    const std::wstring_view text = Trim(wide);
    if (text.empty() || text[0] == L';' || text[0] == L'#') return parsed;
    if (text[0] == L'[') {
        const std::size_t close = text.find(L']');
        parsed.kind = ParsedLine::Kind::section;
        parsed.name = Trim(text.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
        return parsed;
    }
    const std::size_t equals = text.find(L'=');
    if (equals == std::wstring_view::npos) return parsed;
    parsed.kind = ParsedLine::Kind::key;
    parsed.name = Trim(text.substr(0, equals));
    std::wstring_view value = Trim(text.substr(equals + 1));
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    parsed.value = value;
    return parsed;
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

struct IniFile {
    std::vector<std::string> lines;  // without the '\n' that ends them
    bool exists = false;
    bool byteOrderMark = false;  // kept when the file is rewritten, like every line
    mode_t mode = 0;  // permission bits of the existing file
};

Status ReadIni(const std::string& path, IniFile& ini) {
    // O_NONBLOCK: a FIFO put in the settings file's place must not hang the program.
    PathAt at;
    errno = at.Open(path);
    Fd fd(errno != 0 ? -1 : OpenAt(at.Dir(), at.Name(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0, fault::Call::open, path));
    if (!fd.Valid()) return errno == ENOENT ? Status{} : Fail(errno, path);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return Fail(errno, path);
    if (!S_ISREG(st.st_mode)) return Fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP, path);
    ini.exists = true;
    ini.mode = st.st_mode & 07777;

    std::string content;
    char buffer[16384];
    for (;;) {
        if (fault::Strike(fault::Call::read, path.c_str())) return Fail(errno, path);
        ssize_t got;
        do {
            got = ::read(fd.Get(), buffer, sizeof buffer);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return Fail(errno, path);
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ini.byteOrderMark = content.compare(0, 3, kByteOrderMark) == 0;
    std::size_t start = ini.byteOrderMark ? 3 : 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        ini.lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return Status{};
}

// Where a section and a key sit in the file: the first matching section, the first matching key in it.
struct Location {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t section = npos;
    std::size_t sectionEnd = npos;  // the next section's line, or the end of the file
    std::size_t key = npos;
    std::wstring value;
};

Location Locate(const std::vector<std::string>& lines, std::wstring_view section, std::wstring_view key) {
    Location where;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine parsed = Parse(lines[i]);
        if (parsed.kind == ParsedLine::Kind::section) {
            if (where.section != Location::npos) {
                where.sectionEnd = i;
                return where;
            }
            if (SameName(parsed.name, section)) where.section = i;
        } else if (parsed.kind == ParsedLine::Kind::key && where.section != Location::npos &&
                   where.key == Location::npos && SameName(parsed.name, key)) {
            where.key = i;
            where.value = parsed.value;
        }
    }
    if (where.section != Location::npos) where.sectionEnd = lines.size();
    return where;
}

bool HasLineBreak(std::wstring_view text) { return text.find_first_of(L"\r\n") != std::wstring_view::npos; }

bool IsTrimmedName(std::wstring_view text) {
    return !text.empty() && !IsBlank(text.front()) && !IsBlank(text.back());
}

// Names that would read back as something else (or as another line kind) are refused, so a value
// written is always the value read.
bool IsWritableSection(std::wstring_view section) {
    return IsTrimmedName(section) && !HasLineBreak(section) && section.find(L']') == std::wstring_view::npos;
}
bool IsWritableKey(std::wstring_view key) {
    return IsTrimmedName(key) && !HasLineBreak(key) && key.find(L'=') == std::wstring_view::npos && key[0] != L'[' &&
           key[0] != L';' && key[0] != L'#';
}

// Text the file cannot hold as itself: lone surrogates, byte escapes that together spell valid UTF-8,
// values beyond U+10FFFF. Written, each would read back as other text, so a key would not be found
// again and a value would come back changed.
bool ReadsBackAsItself(std::wstring_view text) { return WideFromBytes(BytesFromWide(text)) == text; }

// Quotes a value that reading would otherwise change: blanks at either end are trimmed, and one
// enclosing pair of quotes is removed.
std::wstring EncodeValue(std::wstring_view value) {
    const bool edgeBlank = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    const bool enclosed = value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
    if (!edgeBlank && !enclosed) return std::wstring(value);
    return L"\"" + std::wstring(value) + L"\"";
}

// A settings file that is a link is updated where it leads, not replaced by a plain file.
std::string WriteTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

Status WriteIni(const std::string& path, const IniFile& ini) {
    std::string parent, name;
    if (!SplitLast(path, parent, name)) return Fail(EINVAL, path);
    PathAt at;
    if (const int error = at.Open(parent)) return Fail(error, path);
    Fd dirFd(::openat(at.Dir(), at.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.Valid()) return Fail(errno, path);
    const At dir{dirFd.Get(), parent};

    std::string content = ini.byteOrderMark ? kByteOrderMark : "";
    for (const std::string& line : ini.lines) {
        content += line;
        content += '\n';
    }
    TempEntry temp(dir);
    Status status = temp.CreateFile(0666);  // the umask decides for a new file
    if (!status.Ok()) return status;
    if (ini.exists && ::fchmod(temp.FileFd(), ini.mode) != 0) return Fail(errno, temp.Path());
    if (const int error = WriteAll(temp.FileFd(), content.data(), content.size(), temp.Path())) {
        return Fail(error, temp.Path());
    }
    // Unlike mirrored files, the settings file is small and has no second copy: make it durable
    // before it replaces the old one.
    if (::fsync(temp.FileFd()) != 0) return Fail(errno, temp.Path());
    return temp.CommitAs(name, Landing::replace);
}

}  // namespace

}  // namespace twinfold::posix

DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue, LPWSTR returnedString,
                               DWORD size, LPCWSTR fileName) {
    using namespace twinfold::posix;
    if (size == 0) return 0;
    if (returnedString == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring value = defaultValue ? defaultValue : L"";
    DWORD error = ERROR_SUCCESS;
    if (appName != nullptr && keyName != nullptr && fileName != nullptr) {
        IniFile ini;
        const std::string path = PathBytes(fileName);
        const Status status = ReadIni(path, ini);
        if (!status.Ok()) {
            error = ErrorFromErrno(status.error, status.path);
        } else if (!ini.exists) {
            error = ERROR_FILE_NOT_FOUND;
        } else {
            const Location where = Locate(ini.lines, appName, keyName);
            if (where.key != Location::npos) value = where.value;
        }
    }
    const std::size_t count = std::min<std::size_t>(value.size(), size - 1);
    std::wmemcpy(returnedString, value.data(), count);
    returnedString[count] = L'\0';
    SetLastError(error);
    return static_cast<DWORD>(count);
}

BOOL WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR value, LPCWSTR fileName) {
    using namespace twinfold::posix;
    if (appName == nullptr || keyName == nullptr || value == nullptr || fileName == nullptr || fileName[0] == L'\0' ||
        !IsWritableSection(appName) || !IsWritableKey(keyName) || HasLineBreak(value) || !ReadsBackAsItself(appName) ||
        !ReadsBackAsItself(keyName) || !ReadsBackAsItself(value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NoteTreeChange();
    const std::string path = WriteTarget(PathBytes(fileName));
    IniFile ini;
    // A file that exists but cannot be read is left alone: rewriting it would drop every other setting.
    Status status = ReadIni(path, ini);
    if (!status.Ok()) return Report(status);

    const std::string line = twinfold::BytesFromWide(std::wstring(keyName) + L"=" + EncodeValue(value));
    const Location where = Locate(ini.lines, appName, keyName);
    if (where.key != Location::npos) {
        ini.lines[where.key] = line;
    } else if (where.section != Location::npos) {
        // After the section's last non-blank line, so blank lines before the next section stay there.
        std::size_t insertAt = where.sectionEnd;
        while (insertAt > where.section + 1 && Parse(ini.lines[insertAt - 1]).kind == ParsedLine::Kind::other &&
               Trim(LineText(ini.lines[insertAt - 1])).empty()) {
            --insertAt;
        }
        ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), line);
    } else {
        ini.lines.push_back(twinfold::BytesFromWide(L"[" + std::wstring(appName) + L"]"));
        ini.lines.push_back(line);
    }
    return Report(WriteIni(path, ini));
}
