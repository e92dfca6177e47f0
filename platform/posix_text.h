// POSIX only: lossless conversion between file-name bytes and wide text.
// Valid UTF-8 decodes to its code points; every byte that is not part of valid UTF-8 becomes the
// reserved code point U+DC00 + byte (U+DC80..U+DCFF) and converts back to that same byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace twinfold {

std::wstring WideFromBytes(std::string_view bytes);

// WideFromBytes into a caller's buffer of `capacity` characters, terminator included: the length
// written, or `capacity` when the text and its terminator do not fit (the buffer is then unspecified).
std::size_t WideInto(std::string_view bytes, wchar_t* out, std::size_t capacity);

// Inverse of WideFromBytes. Code points that no decoding produces (other surrogates) are written in
// the three-byte form of their value, so the conversion never fails.
std::string BytesFromWide(std::wstring_view text);

}  // namespace twinfold
