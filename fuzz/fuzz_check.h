// The one check of the fuzz targets: a broken invariant names itself and stops the run, so that
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix_text.h"

#define FUZZ_REQUIRE(condition)                                                                  \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

// Wide text made from fuzz bytes: decoded as POSIX name bytes, or taken as UTF-16 units as on Windows.
inline std::wstring FuzzText(std::string_view bytes, bool utf16) {
    if (!utf16) return twinfold::WideFromBytes(bytes);
    std::wstring text;
    for (std::size_t i = 0; i + 2 <= bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}
