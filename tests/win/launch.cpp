// twinfold_launch PROGRAM [ARGUMENTS...]: runs the program with the rest of this command line as it
// stands and ends with its exit code. `wine Program.exe` can answer 0 for a GUI program that crashed;
// this asks Windows itself (GetExitCodeProcess). A code that no exit() gives, such as an access
// violation (0xC0000005) or a stack overflow (0xC00000FD), is printed and ends the launcher with 255.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The command line after this program's own name, exactly as it was given.
std::wstring RestOfCommandLine() {
    const wchar_t* text = GetCommandLineW();
    bool quoted = false;
    for (; *text != 0; ++text) {
        if (*text == L'"') quoted = !quoted;
        if (!quoted && (*text == L' ' || *text == L'\t')) break;
    }
    while (*text == L' ' || *text == L'\t') ++text;
    return text;
}

}  // namespace

int wmain(int argc, wchar_t**) {
    if (argc < 2) {
        std::fputs("usage: twinfold_launch PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    std::wstring commandLine = RestOfCommandLine();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "twinfold_launch: cannot start the program (error %lu)\n", GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code > 254) {
        std::fprintf(stderr, "twinfold_launch: the program ended with 0x%08lX\n", code);
        return 255;
    }
    return static_cast<int>(code);
}
