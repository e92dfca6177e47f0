// The settings reader and writer: the profile parser under GetPrivateProfileStringW on a file whose
// content is the input, CIni's ReadString, GetString and GetBool over it, and a write that must read
// back as written (or be refused and leave the file alone) without changing any other setting.
//
// Input: the file content, optionally followed by "\n\0" and parameters separated by NUL bytes:
// flags, buffer length, section, key (read), section, key, value (written).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix_text.h"
#include "platform/win32.h"
#include "settings/ini.h"

namespace {

std::string g_dir;
std::string g_file;
std::wstring g_wideFile;

constexpr char kScratchPrefix[] = "twinfold-fuzz-";

void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
}

// Scratch folders of runs that ended without cleaning up (a crash, a kill): their process is gone.
void RemoveStaleScratch(const std::filesystem::path& base) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kScratchPrefix, 0) != 0) continue;
        const std::string pid = name.substr(std::strlen(kScratchPrefix));
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (::kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
}

// One folder per process, on a memory file system when there is one: every run writes the file.
void MakeScratch() {
    if (!g_dir.empty()) return;
    for (const char* base : {static_cast<const char*>("/dev/shm"), static_cast<const char*>(std::getenv("TMPDIR")),
                             static_cast<const char*>("/tmp")}) {
        if (base == nullptr) continue;
        RemoveStaleScratch(base);
        const std::string dir = std::string(base) + "/" + kScratchPrefix + std::to_string(::getpid());
        if (::mkdir(dir.c_str(), 0700) == 0) {
            g_dir = dir;
            break;
        }
    }
    FUZZ_REQUIRE(!g_dir.empty());
    g_file = g_dir + "/Twinfold.ini";
    g_wideFile = twinfold::WideFromBytes(g_file);
    std::atexit(RemoveScratch);
}

void WriteContent(std::string_view content) {
    const int fd = ::open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_REQUIRE(fd >= 0);
    FUZZ_REQUIRE(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    FUZZ_REQUIRE(::close(fd) == 0);
}

std::string ReadContent() {
    std::ifstream in(g_file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}


// Up to the first NUL: what a function taking a C string sees.
std::wstring CString(const std::wstring& text) { return std::wstring(text.c_str()); }

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool IsPlainName(const std::wstring& text) {
    if (text.empty()) return false;
    for (wchar_t c : text) {
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_')) return false;
    }
    return true;
}

bool IsPlainValue(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// The clear cases of the reading rule for the delete option; nothing for the rest.
enum class Judged { yes, no, unclear };
Judged JudgeBool(const std::wstring& value) {
    const std::wstring judged = value.substr(0, 64);
    if (judged.empty() || judged[0] == L'\0') return Judged::yes;
    std::wstring lower;
    for (wchar_t c : CString(judged)) lower.push_back((c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c);
    if (lower == L"true" || lower == L"yes") return Judged::yes;
    std::size_t i = 0;
    while (i < judged.size() && (judged[i] == L' ' || judged[i] == L'\t')) ++i;
    if (i < judged.size() && (judged[i] == L'+' || judged[i] == L'-')) ++i;
    const std::size_t digits = i;
    bool nonZero = false;
    for (; i < judged.size() && judged[i] >= L'0' && judged[i] <= L'9'; ++i) nonZero |= judged[i] != L'0';
    if (i > digits) return nonZero ? Judged::yes : Judged::no;
    const wchar_t first = judged[0];
    const bool plainStart = (first > L' ' && first < 0x7F) && first != L'+' && first != L'-';
    return plainStart ? Judged::no : Judged::unclear;
}

struct Params {
    std::uint8_t flags = 0;
    int bufferLength = 260;
    std::wstring section = kSectionDirectories, key = kKeySrc;
    std::wstring writeSection = kSectionDirectories, writeKey = kKeyDst, writeValue = L"E:\\Mirror";
};

Params DecodeParams(std::string_view tail) {
    Params params;
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start <= tail.size();) {
        std::size_t end = tail.find('\0', start);
        if (end == std::string_view::npos) end = tail.size();
        fields.push_back(tail.substr(start, end - start));
        start = end + 1;
    }
    const auto field = [&](std::size_t i) { return i < fields.size() ? fields[i] : std::string_view(); };
    if (!field(0).empty()) params.flags = static_cast<std::uint8_t>(field(0)[0]);
    if (!field(1).empty()) params.bufferLength = static_cast<unsigned char>(field(1)[0]) * 3;
    const bool utf16 = (params.flags & 0x02) != 0;
    if (params.flags & 0x01) {
        params.section = FuzzText(field(2), false);
        params.key = FuzzText(field(3), false);
    }
    if (params.flags & 0x04) {
        params.writeSection = FuzzText(field(4), utf16);
        params.writeKey = FuzzText(field(5), utf16);
    }
    if (fields.size() > 6) params.writeValue = FuzzText(field(6), utf16);
    return params;
}

void CheckReading(const std::string& content, const Params& params) {
    const CIni ini(g_wideFile);
    const wchar_t* const kDefault = L"\x1default";
    const std::wstring value = ini.ReadString(params.section.c_str(), params.key.c_str(), kDefault);
    if (value != kDefault) {
        // A value is a piece of some line of the file, never made up.
        FUZZ_REQUIRE(twinfold::WideFromBytes(content).find(value) != std::wstring::npos);
        FUZZ_REQUIRE(value.find(L'\n') == std::wstring::npos);
    }

    // The profile call cuts to the buffer and always terminates.
    const DWORD size = static_cast<DWORD>(params.bufferLength);
    std::vector<wchar_t> buffer(size + 1, L'\x7');
    const DWORD got = GetPrivateProfileStringW(params.section.c_str(), params.key.c_str(), kDefault, buffer.data(),
                                               size, g_wideFile.c_str());
    if (size == 0) {
        FUZZ_REQUIRE(got == 0 && buffer[0] == L'\x7');
    } else {
        FUZZ_REQUIRE(got == std::min<std::size_t>(value.size(), size - 1));
        FUZZ_REQUIRE(buffer[got] == L'\0' && std::wmemcmp(buffer.data(), value.data(), got) == 0);
    }

    const int length = params.bufferLength;
    std::vector<wchar_t> into(static_cast<std::size_t>(length) + 1, L'\x7');
    const int copied = ini.GetString(params.section.c_str(), params.key.c_str(), into.data(), length, kDefault);
    FUZZ_REQUIRE(ini.GetString(params.section.c_str(), params.key.c_str(), nullptr, 0, kDefault) ==
            static_cast<int>(value.size()));
    if (length == 0) {
        FUZZ_REQUIRE(copied == 0 && into[0] == L'\x7');
    } else {
        FUZZ_REQUIRE(copied == std::min<int>(static_cast<int>(value.size()), length));
        const std::size_t kept = std::min<std::size_t>(value.size(), static_cast<std::size_t>(length) - 1);
        FUZZ_REQUIRE(into[kept] == L'\0' && std::wmemcmp(into.data(), value.data(), kept) == 0);
    }

    const bool on = ini.GetBool(params.section.c_str(), params.key.c_str());
    const std::wstring stored = ini.ReadString(params.section.c_str(), params.key.c_str());
    const Judged judged = JudgeBool(stored);
    if (judged != Judged::unclear) FUZZ_REQUIRE(on == (judged == Judged::yes));
}

void CheckWriting(const std::string& content, const Params& params) {
    const CIni ini(g_wideFile);
    const wchar_t* const kMissing = L"\x1missing";
    const std::wstring probeBefore = ini.ReadString(params.section.c_str(), params.key.c_str(), kMissing);
    const bool written = WritePrivateProfileStringW(params.writeSection.c_str(), params.writeKey.c_str(),
                                                    params.writeValue.c_str(), g_wideFile.c_str()) != FALSE;
    if (IsPlainName(CString(params.writeSection)) && IsPlainName(CString(params.writeKey)) &&
        IsPlainValue(CString(params.writeValue))) {
        FUZZ_REQUIRE(written);  // nothing about an ordinary setting is a reason to refuse it
    }
    if (!written) {
        FUZZ_REQUIRE(ReadContent() == content);  // a refused write leaves the file as it was
        return;
    }
    FUZZ_REQUIRE(ini.ReadString(params.writeSection.c_str(), params.writeKey.c_str(), kMissing) ==
            CString(params.writeValue));
    // Every other setting reads as before.
    if (!(SameName(CString(params.section), CString(params.writeSection)) &&
          SameName(CString(params.key), CString(params.writeKey)))) {
        FUZZ_REQUIRE(ini.ReadString(params.section.c_str(), params.key.c_str(), kMissing) == probeBefore);
    }
    // Writing the same value again changes nothing.
    const std::string once = ReadContent();
    FUZZ_REQUIRE(WritePrivateProfileStringW(params.writeSection.c_str(), params.writeKey.c_str(), params.writeValue.c_str(),
                                       g_wideFile.c_str()) != FALSE);
    FUZZ_REQUIRE(ReadContent() == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MakeScratch();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find(std::string_view("\n\0", 2));
    const std::string content(input.substr(0, split == std::string_view::npos ? input.size() : split + 1));
    const Params params = DecodeParams(split == std::string_view::npos ? std::string_view() : input.substr(split + 2));

    WriteContent(content);
    CheckReading(content, params);
    CheckWriting(content, params);
    return 0;
}
