// The Windows entry: unattended mode when the command line asks for it, the dialog otherwise.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "app/unattended.h"
#include "platform/win32.h"

namespace {

std::wstring Widen(const char* text) {
    if (text == nullptr || *text == '\0') return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

std::vector<std::wstring> CommandLineArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) return args;
    args.assign(split, split + count);
    LocalFree(split);
    return args;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const std::optional<UnattendedJob> job = ParseUnattendedCommandLine(Widen(commandLine), CommandLineArguments());
    if (job) std::exit(RunUnattended(*job).exitCode);
    return RunInteractive(instance);
}
