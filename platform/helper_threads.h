// Helper threads for work spread over the machine's cores, shared by the parallel scan, the folder
// copy's crew and the copies made ahead.
#pragma once

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace twinfold {

// Starts one thread running `work` for each core beyond the caller's, at most `most`. Where the
// system makes fewer, fewer run: the caller's own thread takes part in the work, so the outcome is
// the same, only slower.
template <typename Work>
void StartHelpers(std::vector<std::thread>& helpers, unsigned most, const Work& work) {
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned wanted = cores > 1 ? std::min(cores - 1, most) : 0;
    for (unsigned i = 0; i < wanted; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
}

}  // namespace twinfold
