// The UI driver's tools: launching Twinfold.exe, finding its windows, reading and pressing controls,
// and building small trees on disk. Everything goes through the Win32 API, as a user's input would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace driver {

// One named group of checks. Failures are collected, so a scenario reports everything it saw.
// A scenario that the system under it cannot carry out (not the program) is skipped with the
// reason; a failure seen before counts over the skip.
class Scenario {
public:
    explicit Scenario(std::string name) : m_name(std::move(name)) {}
    void Check(bool ok, const std::string& what);
    void Equal(const std::wstring& actual, const std::wstring& expected, const std::string& what);
    void Equal(long long actual, long long expected, const std::string& what);
    void Skip(const std::string& reason) { m_skipReason = reason; }
    bool Ok() const { return m_failures.empty(); }
    bool Skipped() const { return Ok() && !m_skipReason.empty(); }
    const std::string& SkipReason() const { return m_skipReason; }
    const std::string& Name() const { return m_name; }
    const std::vector<std::string>& Failures() const { return m_failures; }

private:
    std::string m_name;
    std::vector<std::string> m_failures;
    std::string m_skipReason;
};

std::string Narrow(const std::wstring& text);
std::wstring Escaped(const std::wstring& text);  // line feeds shown as \n, for messages

// Polls `condition` every 20 ms until it holds or `milliseconds` have passed.
bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 15000);

// A running Twinfold.exe. The destructor ends a process that a scenario left running.
class App {
public:
    App(const std::wstring& exePath, const std::wstring& arguments);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool Started() const { return m_process.hProcess != nullptr; }
    DWORD ProcessId() const { return m_process.dwProcessId; }
    // The "Clone Directory" dialog of this process, or null when it did not appear in time.
    HWND WaitForDialog(int milliseconds = 15000) const;
    // A top-level dialog-class window of this process with exactly this caption; null if none.
    HWND FindTopLevel(const std::wstring& caption) const;
    HWND WaitForTopLevel(const std::wstring& caption, int milliseconds = 15000) const;
    // Top-level dialog-class windows of this process other than `except`.
    std::vector<HWND> OtherTopLevels(HWND except) const;
    // The exit code, or -1 when the process is still running after `milliseconds`.
    long long WaitForExit(int milliseconds = 15000);

private:
    PROCESS_INFORMATION m_process = {};
};

// Controls of another process.
std::wstring Text(HWND window);
std::wstring ItemText(HWND dialog, int id);
bool ItemEnabled(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::wstring& text);
void Press(HWND dialog, int id);        // a mouse click on the button
void Command(HWND dialog, int id);      // the command a key or accelerator would send
void PostKey(HWND window, WORD key);    // a key press, as the focused control would receive it
HWND FocusOf(HWND window);              // the focused window of the thread that owns `window`
std::wstring BoxText(HWND box);         // the text of a message box
void CloseBox(HWND box);

// Files and folders. Paths are full Windows paths.
void MakeDir(const std::wstring& path);  // with missing parents
void WriteSizedFile(const std::wstring& path, std::uint64_t size);
std::uint64_t FileSize(const std::wstring& path);  // UINT64_MAX when missing
bool Exists(const std::wstring& path);
// Relative paths of every entry below `root` ("sub\a.txt"), with "/" appended to folders, sorted.
std::vector<std::wstring> ListTree(const std::wstring& root);
std::wstring ReadTextFile(const std::wstring& path);
std::wstring Profile(const std::wstring& file, const wchar_t* section, const wchar_t* key);

}  // namespace driver
