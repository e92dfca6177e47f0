// The short size text of a byte count, as the result of a job shows it.
#pragma once

#include <cstdint>
#include <string>

// Replaces `text` with the short size text of `bytes`, such as "1KB 512B".
void FormatSize(std::wstring& text, std::uint64_t bytes);
