#include "tests/win/driver_support.h"

#include <algorithm>
#include <cwchar>

namespace driver {

void Scenario::Check(bool ok, const std::string& what) {
    if (!ok) m_failures.push_back(what);
}

void Scenario::Equal(const std::wstring& actual, const std::wstring& expected, const std::string& what) {
    if (actual != expected) {
        m_failures.push_back(what + ": got \"" + Narrow(Escaped(actual)) + "\", expected \"" +
                             Narrow(Escaped(expected)) + "\"");
    }
}

void Scenario::Equal(long long actual, long long expected, const std::string& what) {
    if (actual != expected) {
        m_failures.push_back(what + ": got " + std::to_string(actual) + ", expected " + std::to_string(expected));
    }
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                        nullptr);
    return narrow;
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'\n') {
            escaped += L"\\n";
        } else if (c == L'\r') {
            escaped += L"\\r";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
}

App::App(const std::wstring& exePath, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &m_process)) {
        m_process = {};
    }
}

App::~App() {
    if (m_process.hProcess == nullptr) return;
    if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 5000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
}

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (owner == search->processId && std::wcscmp(className, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> DialogsOf(DWORD processId) {
    WindowSearch search{processId, {}};
    EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HWND App::FindTopLevel(const std::wstring& caption) const {
    for (HWND window : DialogsOf(m_process.dwProcessId)) {
        if (Text(window) == caption) return window;
    }
    return nullptr;
}

HWND App::WaitForTopLevel(const std::wstring& caption, int milliseconds) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTopLevel(caption)) != nullptr; }, milliseconds);
    return found;
}

HWND App::WaitForDialog(int milliseconds) const { return WaitForTopLevel(L"Clone Directory", milliseconds); }

std::vector<HWND> App::OtherTopLevels(HWND except) const {
    std::vector<HWND> windows = DialogsOf(m_process.dwProcessId);
    windows.erase(std::remove(windows.begin(), windows.end(), except), windows.end());
    return windows;
}

long long App::WaitForExit(int milliseconds) {
    if (m_process.hProcess == nullptr) return -1;
    if (WaitForSingleObject(m_process.hProcess, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_process.hProcess, &code);
    return code;
}

std::wstring Text(HWND window) {
    if (window == nullptr) return L"<no window>";
    std::vector<wchar_t> buffer(40000, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(buffer.data(), std::min<std::size_t>(copied, buffer.size()));
}

std::wstring ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

bool ItemEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

void SetItemText(HWND dialog, int id, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
}

void Press(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void Command(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PostKey(HWND window, WORD key) {
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

std::wstring BoxText(HWND box) { return Text(GetDlgItem(box, 0xFFFF)); }

void CloseBox(HWND box) { PostMessageW(box, WM_COMMAND, IDOK, 0); }

void MakeDir(const std::wstring& path) {
    if (path.empty() || Exists(path)) return;
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 2) MakeDir(path.substr(0, cut));
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteSizedFile(const std::wstring& path, std::uint64_t size) {
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos) MakeDir(path.substr(0, cut));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::vector<char> chunk(1 << 20);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
    std::uint64_t left = size;
    while (left > 0) {
        const DWORD part = static_cast<DWORD>(std::min<std::uint64_t>(left, chunk.size()));
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), part, &written, nullptr) || written == 0) break;
        left -= written;
    }
    CloseHandle(file);
}

std::uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return UINT64_MAX;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + relative + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative.substr(1) + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(path + L"/");
            ListInto(root, relative + L"\\" + name, out);
        } else {
            out.push_back(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

std::vector<std::wstring> ListTree(const std::wstring& root) {
    std::vector<std::wstring> entries;
    ListInto(root, L"", entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::wstring ReadTextFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    std::wstring text;
    for (char c : bytes) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return text;
}

std::wstring Profile(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    std::vector<wchar_t> buffer(4096, L'\0');
    GetPrivateProfileStringW(section, key, L"<missing>", buffer.data(), static_cast<DWORD>(buffer.size()),
                             file.c_str());
    return buffer.data();
}

}  // namespace driver
