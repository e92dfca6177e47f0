#include "mirror/copies_ahead.h"

#include <algorithm>
#include <new>

#include "platform/helper_threads.h"

namespace {

constexpr unsigned kMostHelpers = 3;

}  // namespace

CopiesAhead::CopiesAhead(RunContext& run, bool enabled, Silent silent)
    : m_run(run), m_enabled(enabled && std::thread::hardware_concurrency() > 1), m_silent(silent) {}

CopiesAhead::~CopiesAhead() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ending = true;
        m_nextQueued = m_copies.size();  // what has not started never will
        m_work.notify_all();
        m_made.wait(lock, [this] {
            return std::none_of(m_copies.begin(), m_copies.end(),
                                [](const std::unique_ptr<Copy>& copy) { return copy->state == Copy::State::making; });
        });
    }
    for (std::thread& helper : m_helpers) helper.join();
    for (const std::unique_ptr<Copy>& copy : m_copies) {
        if (copy->state == Copy::State::made) DiscardPrepared(copy->temporary);
    }
}

void CopiesAhead::StartHelpers() {
    m_started = true;
    // With fewer hands, the walking thread makes the rest when it waits.
    twinfold::StartHelpers(m_helpers, kMostHelpers, [this] { Help(); });
}

void CopiesAhead::Add(const std::wstring& src, const std::wstring& dst, Landing landing) {
    auto copy = std::make_unique<Copy>();
    copy->src = src;
    copy->dst = dst;
    copy->landing = landing;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) StartHelpers();
    m_copies.push_back(std::move(copy));
    m_work.notify_one();
}

CopiesAhead::Copy* CopiesAhead::Take() {
    if (m_nextQueued >= m_copies.size()) return nullptr;
    Copy* copy = m_copies[m_nextQueued++].get();
    copy->state = Copy::State::making;
    return copy;
}

void CopiesAhead::Make(Copy& copy) {
    std::wstring temporary;
    MaybeFailure failure;
    try {
        failure = PrepareCopy(copy.src, copy.dst, copy.landing, m_silent, temporary);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        failure = SystemFailure(FailedOperation::copy, copy.src, copy.dst);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    copy.state = failure ? Copy::State::failed : Copy::State::made;
    copy.temporary = std::move(temporary);
    copy.failure = std::move(failure);
}

void CopiesAhead::Help() {
    for (;;) {
        Copy* copy = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] { return m_ending || m_nextQueued < m_copies.size(); });
            if (m_ending) return;
            copy = Take();
        }
        Make(*copy);
        m_made.notify_all();
    }
}

bool CopiesAhead::Place(std::size_t mostLeft) {
    for (;;) {
        Copy* copy = nullptr;
        Copy* toMake = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_copies.empty()) return true;
            Copy& oldest = *m_copies.front();
            if (oldest.state == Copy::State::made || oldest.state == Copy::State::failed) {
                copy = &oldest;
            } else if (m_copies.size() <= mostLeft) {
                return true;
            } else if ((toMake = Take()) == nullptr) {
                // Every copy waiting is being made by a helper: wait for the oldest.
                m_made.wait(lock, [&oldest] { return oldest.state != Copy::State::making; });
                continue;
            }
        }
        if (toMake != nullptr) {
            Make(*toMake);
            continue;
        }
        // Placed (or failed) outside the lock: the helpers make the copies behind it meanwhile.
        MaybeFailure failure = std::move(copy->failure);
        if (copy->state == Copy::State::made) failure = PlacePrepared(copy->src, copy->temporary, copy->dst, copy->landing);
        const bool failed = failure.has_value();
        if (failed) m_run.Fail(std::move(*failure));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_copies.pop_front();
        --m_nextQueued;
        if (failed) return false;
    }
}
