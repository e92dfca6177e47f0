#include <cwchar>

#include "platform/win32.h"
#include "settings/ini.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

class IniTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        path_ = WPath(Utf8(kSettingsFileName));
    }
    static std::string Utf8(const std::wstring& text) { return FromWide(text).string(); }
    void Store(const wchar_t* section, const wchar_t* key, const std::wstring& value) {
        ASSERT_TRUE(WritePrivateProfileStringW(section, key, value.c_str(), path_.c_str()));
    }
    std::wstring path_;
};

TEST_F(IniTest, BooleanReadingRule) {
    struct Row {
        const wchar_t* stored;  // null: key missing
        bool expected;
    };
    const Row rows[] = {
        {nullptr, true}, {L"", true},   {L"true", true},   {L"TRUE", true},  {L"Yes", true},  {L"1", true},
        {L"2", true},    {L"-1", true}, {L"+7", true},     {L"1abc", true},  {L"0", false},   {L"-0", false},
        {L"false", false}, {L"no", false}, {L"off", false}, {L"abc", false}, {L"0x10", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored ? Utf8(row.stored) : "missing");
        fs::remove(FromWide(path_));
        if (row.stored) Store(kSectionOptions, kKeyDeleteOption, row.stored);
        CIni ini(path_);
        EXPECT_EQ(ini.GetBool(kSectionOptions, kKeyDeleteOption), row.expected);
    }
    // Only the first 64 characters are judged.
    Store(kSectionOptions, kKeyDeleteOption, std::wstring(64, L'0') + L"1");
    EXPECT_FALSE(CIni(path_).GetBool(kSectionOptions, kKeyDeleteOption));
}

TEST_F(IniTest, WrittenValuesReadBackAndMissingOnesGiveTheDefault) {
    Store(kSectionDirectories, kKeySrc, L"C:\\Data\\Docs");
    Store(kSectionDirectories, kKeyDst, L"E:\\Mirror");
    Store(kSectionOptions, kKeyDeleteOption, L"0");
    Store(kSectionDirectories, kKeySrc, L"C:\\Other");  // replaces, does not add
    CIni ini(path_);
    EXPECT_EQ(ini.ReadString(kSectionDirectories, kKeySrc), L"C:\\Other");
    EXPECT_EQ(ini.ReadString(kSectionDirectories, kKeyDst), L"E:\\Mirror");
    EXPECT_EQ(ini.ReadString(kSectionDirectories, L"Nope", L"fallback"), L"fallback");
    EXPECT_EQ(ini.ReadString(L"NoSection", kKeySrc), L"");
    EXPECT_EQ(ini.ReadString(nullptr, kKeySrc, L"d"), L"d");
    EXPECT_EQ(ini.ReadString(kSectionDirectories, nullptr), L"");
    EXPECT_FALSE(ini.GetBool(kSectionOptions, kKeyDeleteOption));
    EXPECT_EQ(CIni(WPath("missing.ini")).ReadString(kSectionDirectories, kKeySrc, L"x"), L"x");
}

TEST_F(IniTest, LongValuesAreReadWholeAndCutSafelyIntoBuffers) {
    std::wstring value;
    for (int i = 0; i < 600; ++i) value.push_back(static_cast<wchar_t>(L'a' + i % 26));
    Store(kSectionDirectories, kKeySrc, value);
    CIni ini(path_);
    EXPECT_EQ(ini.ReadString(kSectionDirectories, kKeySrc), value);
    EXPECT_EQ(ini.GetString(kSectionDirectories, kKeySrc, nullptr, 0), 600);

    wchar_t buffer[260];
    EXPECT_EQ(ini.GetString(kSectionDirectories, kKeySrc, buffer, 260), 260);
    EXPECT_EQ(std::wstring(buffer), value.substr(0, 259));  // always terminated
}

TEST_F(IniTest, BufferUsedAsItsOwnDefaultReadsEmpty) {
    wchar_t buffer[260] = L"C:\\Program\\";
    CIni ini(path_);
    EXPECT_EQ(ini.GetString(kSectionDirectories, kKeySrc, buffer, 260, buffer), 0);
    EXPECT_EQ(buffer[0], L'\0');

    Store(kSectionDirectories, kKeyDst, L"D:\\b");
    wcscpy(buffer, L"C:\\Program\\");
    EXPECT_EQ(CIni(path_).GetString(kSectionDirectories, kKeyDst, buffer, 260, buffer), 4);
    EXPECT_EQ(std::wstring(buffer), L"D:\\b");
}

}  // namespace
}  // namespace twinfold::test
