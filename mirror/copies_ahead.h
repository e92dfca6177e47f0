// File copies of the copy pass made on other threads while the walk goes on, and put into place by
// the walking thread in walking order. Each copy is made under a temporary name beside its final
// place (see PrepareCopy), so the destination shows nothing of it until it is placed; what the pass
// does is then what it would have done one copy at a time: the copies are placed in the order the
// walk met them, the first one that fails stops the pass, and none after it is ever placed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mirror/landing.h"
#include "mirror/run.h"
#include "platform/win32.h"

class CopiesAhead {
public:
    // Copies waiting to be placed before the walk stops to help make them; a bound on the temporary
    // entries a run has at once, too.
    static constexpr std::size_t kMostWaiting = 64;

    // Disabled (Enabled() false), it makes no thread and the pass copies one entry at a time itself.
    // The first failure goes to `run`.
    CopiesAhead(RunContext& run, bool enabled, Silent silent);
    // Copies not placed by then are removed; copies being made are waited for first.
    ~CopiesAhead();
    CopiesAhead(const CopiesAhead&) = delete;
    CopiesAhead& operator=(const CopiesAhead&) = delete;

    bool Enabled() const { return m_enabled; }

    // Queues the copy of the file `src` to `dst`. Only on the walking thread.
    void Add(const std::wstring& src, const std::wstring& dst, Landing landing);
    // Places the copies that are made, in the order added, and while more than `mostLeft` are still
    // waiting, helps make them or waits for them. Place(0) places every copy added. False at the first
    // copy that failed (to be made or to be placed): its failure is the run's, which stops, and
    // nothing after it will be placed.
    bool Place(std::size_t mostLeft);

private:
    struct Copy {
        std::wstring src;
        std::wstring dst;
        Landing landing;
        enum class State { queued, making, made, failed } state = State::queued;
        std::wstring temporary;
        MaybeFailure failure;
    };

    void StartHelpers();
    void Help();
    // The oldest queued copy, now marked as being made, or null; needs the lock.
    Copy* Take();
    // Makes the copy (with no lock held) and records how that went.
    void Make(Copy& copy);

    RunContext& m_run;
    const bool m_enabled;
    const Silent m_silent;
    std::mutex m_mutex;
    std::condition_variable m_work;  // a copy was queued, or the helpers are to end
    std::condition_variable m_made;  // a copy was made, or failed to be
    // Added and not placed yet, oldest first. Only the walking thread adds and removes; the helpers
    // change the copies' states and what goes with them, under the lock.
    std::deque<std::unique_ptr<Copy>> m_copies;
    std::size_t m_nextQueued = 0;  // index in m_copies of the oldest copy not taken yet
    bool m_ending = false;
    bool m_started = false;
    std::vector<std::thread> m_helpers;
};
