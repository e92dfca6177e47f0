// POSIX only: the crew that runs a folder copy's file copies side by side.
#include "platform/posix_crew.h"

#include <new>

#include "platform/helper_threads.h"

namespace twinfold::posix {

namespace {

constexpr unsigned kMostHelpers = 3;

}  // namespace

Crew::~Crew() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Left without Finish (the caller failed on its own): what has not started never will, and
        // what is running must end before the descriptors it works in are closed.
        m_queue.clear();
        m_ending = true;
        m_work.notify_all();
        m_idle.wait(lock, [this] { return m_running == 0; });
    }
    for (std::thread& helper : m_helpers) helper.join();
}

void Crew::StartHelpers() {
    m_started = true;
    twinfold::StartHelpers(m_helpers, kMostHelpers, [this] { Help(); });
}

void Crew::Add(std::function<Status()> job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) StartHelpers();
    m_queue.push_back(Job{++m_added, std::move(job)});
    m_work.notify_one();
}

bool Crew::Take(Job& job) {
    while (!m_queue.empty()) {
        job = std::move(m_queue.front());
        m_queue.pop_front();
        // One thread would have stopped at the failure: nothing after it is started.
        if (m_failedNumber != 0 && job.number > m_failedNumber) continue;
        ++m_running;
        return true;
    }
    return false;
}

namespace {

Status Run(const std::function<Status()>& job) {
    try {
        return job();
    } catch (const std::bad_alloc&) {
        return Fail(ENOMEM, std::string());
    }
}

}  // namespace

void Crew::Ended(const Job& job, Status status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    if (!status.Ok() && (m_failedNumber == 0 || job.number < m_failedNumber)) {
        m_failedNumber = job.number;
        m_failure = std::move(status);
    }
    m_idle.notify_all();
}

void Crew::Help() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] { return m_ending || !m_queue.empty(); });
            if (!Take(job)) {
                if (m_ending) return;
                continue;
            }
        }
        Ended(job, Run(job.run));
    }
}

Status Crew::Finish() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!Take(job)) {
                m_idle.wait(lock, [this] { return m_running == 0 || !m_queue.empty(); });
                if (m_running != 0 || !m_queue.empty()) continue;
                Status failure = std::move(m_failure);
                m_failure = Status{};
                m_failedNumber = 0;
                m_added = 0;
                return failure;
            }
        }
        Ended(job, Run(job.run));
    }
}

}  // namespace twinfold::posix
