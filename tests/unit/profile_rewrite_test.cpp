// POSIX only: what the settings file keeps when one value is written into it. Each case here is an
// input the settings fuzz target (fuzz/fuzz_settings.cpp) found to change other settings or to
// read back as something else than was written.
#include "platform/win32.h"
#include "settings/ini.h"
#include "tests/unit/test_support.h"

namespace twinfold::test {
namespace {

class ProfileRewriteTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        path_ = WPath("Twinfold.ini");
    }
    bool Store(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
        return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path_.c_str()) != FALSE;
    }
    std::wstring Read(const wchar_t* section, const wchar_t* key) const {
        return CIni(path_).ReadString(section, key, L"<missing>");
    }
    std::wstring path_;
};

// A hand-edited file keeps every line it had, byte for byte: line ends, a stray carriage return
// that belongs to a value, and the byte order mark an editor put in front. A second write of the
// same value then changes nothing.
TEST_F(ProfileRewriteTest, OtherLinesSurviveARewriteExactly) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;  // once Options/Mode=1 is written
    };
    const Case cases[] = {
        {"CRLF line ends", "[Directories]\r\nSrc=C:\\a\r\n", "[Directories]\r\nSrc=C:\\a\r\n[Options]\nMode=1\n"},
        {"value ending in a carriage return", "[Directories]\nSrc=abc\r\r\n",
         "[Directories]\nSrc=abc\r\r\n[Options]\nMode=1\n"},
        {"byte order mark", "\xEF\xBB\xBF[Directories]\nSrc=a\n", "\xEF\xBB\xBF[Directories]\nSrc=a\n[Options]\nMode=1\n"},
        {"two byte order marks", "\xEF\xBB\xBF\xEF\xBB\xBF; note\n", "\xEF\xBB\xBF\xEF\xBB\xBF; note\n[Options]\nMode=1\n"},
        {"CRLF section gets the new key", "[Options]\r\nOther=2\r\n\r\n[X]\r\n",
         "[Options]\r\nOther=2\r\nMode=1\n\r\n[X]\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile("Twinfold.ini", c.before);
        const std::wstring srcBefore = Read(L"Directories", L"Src");
        ASSERT_TRUE(Store(L"Options", L"Mode", L"1"));
        EXPECT_EQ(ReadFile("Twinfold.ini"), c.after);
        EXPECT_EQ(Read(L"Directories", L"Src"), srcBefore);
        EXPECT_EQ(Read(L"Options", L"Mode"), L"1");
        ASSERT_TRUE(Store(L"Options", L"Mode", L"1"));
        EXPECT_EQ(ReadFile("Twinfold.ini"), c.after);
    }
    // The carriage return that is part of the value still reads as part of it.
    WriteFile("Twinfold.ini", "[Directories]\nSrc=abc\r\r\n");
    ASSERT_TRUE(Store(L"Directories", L"Dst", L"x"));
    EXPECT_EQ(Read(L"Directories", L"Src"), L"abc\r");
}

// Text the UTF-8 file cannot hold as itself is refused, and the file is left as it was; text made of
// the escapes of bytes that are not UTF-8 (as a POSIX path may hold) is kept exactly.
TEST_F(ProfileRewriteTest, TextThatWouldReadBackChangedIsRefused) {
    struct Row {
        const char* name;
        std::wstring section, key, value;
    };
    const Row refused[] = {
        {"lone surrogate in the key", L"S", L"k\xDD73", L"v"},
        {"lone surrogate in the section", L"\xD800", L"k", L"v"},
        {"lone high surrogate in the value", L"S", L"k", L"a\xD83D"},
        {"escapes that spell UTF-8", L"S", L"k", L"caf\xDCC3\xDCA9"},
        {"beyond U+10FFFF", L"S", L"k", std::wstring(1, static_cast<wchar_t>(0x110000))},
    };
    const std::string content = "[S]\nk=old\n";
    for (const Row& row : refused) {
        SCOPED_TRACE(row.name);
        WriteFile("Twinfold.ini", content);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(Store(row.section, row.key, row.value));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ReadFile("Twinfold.ini"), content);
    }

    WriteFile("Twinfold.ini", content);
    const std::wstring path = L"/mnt/caf\xDCE9/\xDCFF\xDCFE";  // the bytes E9, FF, FE of a Latin-1 name
    ASSERT_TRUE(Store(L"S", L"k", path));
    EXPECT_EQ(Read(L"S", L"k"), path);
    EXPECT_EQ(ReadFile("Twinfold.ini"), "[S]\nk=/mnt/caf\xE9/\xFF\xFE\n");
}

}  // namespace
}  // namespace twinfold::test
