// The settings file beside the program, and the object that reads it.
#pragma once

#include <string>

inline constexpr wchar_t kSettingsFileName[] = L"Twinfold.ini";
inline constexpr wchar_t kSectionDirectories[] = L"Directories";
inline constexpr wchar_t kKeySrc[] = L"Src";
inline constexpr wchar_t kKeyDst[] = L"Dst";
inline constexpr wchar_t kSectionOptions[] = L"Options";
inline constexpr wchar_t kKeyDeleteOption[] = L"DeleteFromDstIfNoExistInSrc";

// Knows the path of one settings file and reads values from it. Writing goes straight to
// WritePrivateProfileStringW with m_iniPath.
class CIni {
public:
    explicit CIni(const std::wstring& iniPath);
    virtual ~CIni();
    CIni(const CIni&) = delete;
    CIni& operator=(const CIni&) = delete;

    // The whole value of section/key, or `defaultValue` (empty when null) when the file, section or key
    // is missing. A null section or key gives the default.
    std::wstring ReadString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue = nullptr) const;

    // Copies the value into `buffer` (always terminated, at most bufferLength characters including the
    // terminator) and returns its length capped at bufferLength; with a null buffer, the full length.
    // The buffer is cleared first, so a default that is the buffer itself reads as empty.
    int GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, int bufferLength,
                  const wchar_t* defaultValue = nullptr) const;

    // True for an empty or missing value, "true" or "yes" in any case, or a leading non-zero decimal
    // number within the first 64 characters; false otherwise.
    bool GetBool(const wchar_t* section, const wchar_t* key) const;

    const std::wstring& Path() const { return m_iniPath; }

private:
    std::wstring m_iniPath;
};
