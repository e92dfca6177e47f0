#include "settings/ini.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "platform/win32.h"

CIni::CIni(const std::wstring& iniPath) : m_iniPath(iniPath) {}

CIni::~CIni() = default;

std::wstring CIni::ReadString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue) const {
    const wchar_t* fallback = defaultValue != nullptr ? defaultValue : L"";
    if (section == nullptr || key == nullptr) return fallback;
    // The profile read cuts a value to the buffer and gives no other sign than a result of size - 1,
    // so grow the buffer until the value fits with room to spare. Doubling keeps a huge hand-edited
    // value from costing one file read per 512 characters.
    for (DWORD size = 512;; size *= 2) {
        std::vector<wchar_t> buffer(size + 1, L'\0');
        DWORD length = GetPrivateProfileStringW(section, key, fallback, buffer.data(), size, m_iniPath.c_str());
        if (length + 1 < size) return std::wstring(buffer.data(), length);
    }
}

int CIni::GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, int bufferLength,
                    const wchar_t* defaultValue) const {
    if (buffer != nullptr && bufferLength > 0) buffer[0] = L'\0';
    const std::wstring value = ReadString(section, key, defaultValue);
    int length = static_cast<int>(std::min<size_t>(value.size(), 0x7fffffff));
    if (buffer != nullptr) {
        if (bufferLength <= 0) return 0;
        // A value that does not fit keeps its first bufferLength - 1 characters, always terminated.
        const size_t copied = std::min(value.size(), static_cast<size_t>(bufferLength) - 1);
        std::copy_n(value.c_str(), copied, buffer);
        buffer[copied] = L'\0';
        length = std::min(length, bufferLength);
    }
    return length;
}

bool CIni::GetBool(const wchar_t* section, const wchar_t* key) const {
    const std::wstring value = ReadString(section, key);
    wchar_t judged[65] = {};
    std::copy_n(value.c_str(), std::min<size_t>(value.size(), 64), judged);
    if (judged[0] == L'\0') return true;
    std::wstring lower(judged);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    if (lower == L"true" || lower == L"yes") return true;
    return std::wcstol(judged, nullptr, 10) != 0;
}
