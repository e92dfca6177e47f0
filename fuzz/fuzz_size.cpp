// The size text of a 64-bit byte count, against a second computation that walks the units upwards
// with division instead of downwards with shifts, and against what the text must mean.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "mirror/size_text.h"
#include "mirror/verify.h"

namespace {

std::wstring Expected(std::uint64_t bytes) {
    static const char* const kNames[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    // The unit is the largest one the count strictly exceeds: exactly 1 KB still reads "1024B".
    int level = 0;
    std::uint64_t unit = 1;
    while (level < 5 && bytes / 1024 >= unit && bytes > unit * 1024) {
        unit *= 1024;
        ++level;
    }
    char text[64];
    if (level == 0) {
        std::snprintf(text, sizeof text, "%" PRIu64 "B", bytes);
    } else {
        const std::uint64_t whole = bytes / unit;
        const std::uint64_t part = (bytes % unit) / (unit / 1024);
        std::snprintf(text, sizeof text, "%" PRIu64 "%s %" PRIu64 "%s", whole, kNames[level], part, kNames[level - 1]);
    }
    return std::wstring(text, text + std::strlen(text));
}

void Check(std::uint64_t bytes) {
    std::wstring text = L"left over from before";
    FormatSize(text, bytes);
    FUZZ_REQUIRE(text == Expected(bytes));

    // Read back, the text never claims more than the count, and misses less than one smaller unit.
    unsigned long long whole = 0, part = 0;
    wchar_t big[3] = {}, small[3] = {};
    if (std::swscanf(text.c_str(), L"%llu%2l[A-Z] %llu%2l[A-Z]", &whole, big, &part, small) == 4) {
        int shift = 0;
        for (const wchar_t* name : {L"KB", L"MB", L"GB", L"TB", L"PB"}) {
            shift += 10;
            if (std::wcscmp(big, name) == 0) break;
        }
        FUZZ_REQUIRE(whole >= 1 && whole <= (shift == 50 ? 16383u : 1024u) && part < 1024);
        const std::uint64_t shown = (std::uint64_t{whole} << shift) + (std::uint64_t{part} << (shift - 10));
        FUZZ_REQUIRE(shown <= bytes && bytes - shown < (std::uint64_t{1} << (shift - 10)));
    } else {
        FUZZ_REQUIRE(bytes <= 1024 && text == std::to_wstring(bytes) + L"B");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, data, size < sizeof bytes ? size : sizeof bytes);
    Check(bytes);
    // The edges of each unit: one byte either side of every power of two.
    if (size > sizeof bytes) {
        const unsigned power = data[sizeof bytes] % 64;
        const std::uint64_t edge = std::uint64_t{1} << power;
        Check(edge - 1);
        Check(edge);
        Check(edge + 1);
        Check(edge + (bytes & 0xFFFF));
        Check(edge - (bytes & 0xFFFF) % edge);
    }
    return 0;
}
