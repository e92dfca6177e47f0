// POSIX only: lossless conversion between file-name bytes and wide text (strict UTF-8 plus escapes).
// Pure functions: no system calls, no locale; the result never depends on the environment.
#include "platform/posix_text.h"

#include <cstdint>

namespace twinfold {

namespace {

constexpr std::uint32_t kEscapeBase = 0xDC00;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence starting at bytes[i] and its code point, or 0 when the byte
// there does not start one. Overlong forms, encoded surrogates, values above U+10FFFF and
// truncated sequences are all invalid, so that every decoded string re-encodes to the same bytes.
std::size_t DecodeOne(std::string_view bytes, std::size_t i, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() - i < length) return 0;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high) return 0;
    std::uint32_t value = lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(bytes[i + k]);
        if (!IsContinuation(byte)) return 0;
        value = (value << 6) | (byte & 0x3F);
    }
    codePoint = value;
    return length;
}

void AppendUtf8(std::string& out, std::uint32_t value) {
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else if (value < 0x800) {
        out += static_cast<char>(0xC0 | (value >> 6));
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += static_cast<char>(0xE0 | (value >> 12));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (value >> 18));
        out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    }
}

}  // namespace

std::wstring WideFromBytes(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::uint32_t codePoint = 0;
        const std::size_t length = DecodeOne(bytes, i, codePoint);
        if (length == 0) {
            // Only this byte is escaped; the bytes after it get their own chance to start a sequence.
            codePoint = kEscapeBase + static_cast<unsigned char>(bytes[i]);
            i += 1;
        } else {
            i += length;
        }
        text += static_cast<wchar_t>(codePoint);
    }
    return text;
}

std::size_t WideInto(std::string_view bytes, wchar_t* out, std::size_t capacity) {
    // Most names are plain ASCII: one character per byte, no decoding needed.
    std::size_t i = 0;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) {
        if (i + 1 >= capacity) return capacity;
        out[i] = static_cast<wchar_t>(bytes[i]);
        ++i;
    }
    if (i == bytes.size()) {
        if (i >= capacity) return capacity;
        out[i] = L'\0';
        return i;
    }
    const std::wstring wide = WideFromBytes(bytes.substr(i));
    if (i + wide.size() >= capacity) return capacity;
    wide.copy(out + i, wide.size());
    out[i + wide.size()] = L'\0';
    return i + wide.size();
}

std::string BytesFromWide(std::wstring_view text) {
    // Plain ASCII, as most paths are, is narrowed sixteen characters at a time, in fixed-size loops
    // the compiler turns into vector instructions: a path thousands of levels deep is converted on
    // every call.
    constexpr std::size_t kBlock = 16;
    std::string bytes(text.size(), '\0');
    const wchar_t* in = text.data();
    char* out = bytes.data();
    std::size_t ascii = 0;
    for (; ascii + kBlock <= text.size(); ascii += kBlock) {
        std::uint32_t any = 0;
        for (std::size_t k = 0; k < kBlock; ++k) any |= static_cast<std::uint32_t>(in[ascii + k]);
        if (any >= 0x80) break;
        for (std::size_t k = 0; k < kBlock; ++k) out[ascii + k] = static_cast<char>(in[ascii + k]);
    }
    for (; ascii < text.size() && static_cast<std::uint32_t>(in[ascii]) < 0x80; ++ascii) out[ascii] = static_cast<char>(in[ascii]);
    bytes.resize(ascii);
    if (ascii == text.size()) return bytes;
    bytes.reserve(text.size() + 8);
    for (wchar_t ch : text.substr(ascii)) {
        const auto value = static_cast<std::uint32_t>(ch);
        if (value >= kEscapeBase + 0x80 && value <= kEscapeBase + 0xFF) {
            bytes += static_cast<char>(value - kEscapeBase);
        } else if (value > 0x10FFFF) {
            // No decoding yields such a value and UTF-8 cannot hold it: write U+FFFD rather than fail.
            AppendUtf8(bytes, 0xFFFD);
        } else {
            AppendUtf8(bytes, value);
        }
    }
    return bytes;
}

}  // namespace twinfold
