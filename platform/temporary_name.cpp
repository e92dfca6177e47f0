// Both platforms: the one generator of the names that temporary entries are made under, for the
// landings of the engine and the POSIX layer's own atomic writes. It only makes names.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "platform/win32.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace twinfold {
namespace {

std::uint64_t Mix(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

std::uint64_t FreshSeed() {
    std::uint64_t value = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device device;
        value ^= (static_cast<std::uint64_t>(device()) << 32) | device();
    } catch (...) {
        // No source of randomness: the clock alone still differs between runs.
    }
#ifndef _WIN32
    value ^= static_cast<std::uint64_t>(::getpid()) << 17;
#endif
    return Mix(value);
}

// Distinct for every call in this process and, through the seed, unlikely to meet a name that
// another run (killed, or running at the same time) chose. A forked child takes a seed of its own,
// so that parent and child do not race for the same names.
std::uint64_t NextUniqueValue() {
    static std::atomic<std::uint64_t> seed{FreshSeed()};
    static std::atomic<std::uint64_t> counter{0};
#ifndef _WIN32
    static std::atomic<long> seededFor{static_cast<long>(::getpid())};
    const long process = static_cast<long>(::getpid());
    if (seededFor.exchange(process) != process) seed = FreshSeed();
#endif
    return Mix(seed.load() + counter.fetch_add(1));
}

}  // namespace

std::wstring TemporaryName() {
    wchar_t suffix[13];
    std::swprintf(suffix, 13, L"%012llx", static_cast<unsigned long long>(NextUniqueValue() & 0xFFFFFFFFFFFFULL));
    return std::wstring(kTemporaryPrefix) + suffix;
}

}  // namespace twinfold
