// Windows: the last error as a value and the system's text for it, through FormatMessageW.
// It only reads the thread's error state; it never changes it.
#include <string>

#include "platform/win32.h"

namespace twinfold {

SystemError LastSystemError() { return SystemError{GetLastError(), 0, std::wstring()}; }

std::wstring DescribeSystemError(const SystemError& error) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error.code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring described = length != 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    // The system ends its texts with a full stop and a line break; a message adds its own ending.
    while (!described.empty() && (described.back() == L'\n' || described.back() == L'\r' || described.back() == L'.'))
        described.pop_back();
    return described.empty() ? L"error " + std::to_wstring(error.code) : described;
}

}  // namespace twinfold
