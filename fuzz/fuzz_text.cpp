// Name conversion between file-name bytes and wide text. Names come from the disk, so every byte
// string must survive the trip to wide text and back; and any text a user could type (code points
// that are not reserved for the byte escapes) must survive the trip to bytes and back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/posix_text.h"

namespace {

constexpr std::uint32_t kEscapeFirst = 0xDC80;
constexpr std::uint32_t kEscapeLast = 0xDCFF;

bool IsScalar(std::uint32_t value) { return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF); }

// Bytes -> wide -> bytes gives the bytes back, and the wide text holds only scalar values and
// escapes of bytes that cannot start valid UTF-8 where they stand.
void CheckBytes(std::string_view bytes) {
    const std::wstring wide = twinfold::WideFromBytes(bytes);
    FUZZ_REQUIRE(twinfold::BytesFromWide(wide) == bytes);
    FUZZ_REQUIRE(wide.size() <= bytes.size());
    for (wchar_t ch : wide) {
        const auto value = static_cast<std::uint32_t>(ch);
        if (value >= kEscapeFirst && value <= kEscapeLast) continue;
        FUZZ_REQUIRE(IsScalar(value));
        FUZZ_REQUIRE(value >= 0x80 || value != 0 || bytes.find('\0') != std::string_view::npos);
    }
    // Decoding is a function of the bytes: decoding the re-encoded text changes nothing.
    FUZZ_REQUIRE(twinfold::WideFromBytes(twinfold::BytesFromWide(wide)) == wide);

    // Decoding into a record's name buffer gives the same text, or says it does not fit.
    wchar_t buffer[64];
    const std::size_t capacity = 1 + bytes.size() % 64;
    const std::size_t length = twinfold::WideInto(bytes, buffer, capacity);
    if (wide.size() < capacity) {
        FUZZ_REQUIRE(length == wide.size() && buffer[length] == L'\0');
        FUZZ_REQUIRE(std::wstring_view(buffer, length) == wide);
    } else {
        FUZZ_REQUIRE(length == capacity);
    }
}

// Wide text of scalar values -> bytes -> wide gives the text back; the bytes are valid UTF-8, so
// they decode without a single escape and with one code point per non-continuation byte.
void CheckWide(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        std::uint32_t value = (std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2]) % 0x110000;
        if (value >= 0xD800 && value <= 0xDFFF) value -= 0x800;  // a scalar close by, not a surrogate
        text.push_back(static_cast<wchar_t>(value));
    }
    const std::string bytes = twinfold::BytesFromWide(text);
    FUZZ_REQUIRE(twinfold::WideFromBytes(bytes) == text);
    std::size_t leads = 0;
    for (char byte : bytes) leads += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    FUZZ_REQUIRE(leads == text.size());
}

// Any wide text at all, reserved and out-of-range values included, converts without failing, and
// the result is stable after one round.
void CheckAnyWide(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        text.push_back(static_cast<wchar_t>(std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 |
                                            std::uint32_t{data[i + 2]} << 16 | std::uint32_t{data[i + 3]} << 24));
    }
    const std::string bytes = twinfold::BytesFromWide(text);
    const std::wstring again = twinfold::WideFromBytes(bytes);
    FUZZ_REQUIRE(twinfold::BytesFromWide(again) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    CheckWide(data, size);
    CheckAnyWide(data, size);
    return 0;
}
