// POSIX only: runs the steps of one folder copy side by side on the machine's cores.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix_internal.h"

namespace twinfold::posix {

// Jobs are added in the order a single thread would run them, and the outcome is the one that
// single thread would have had: the failure of the first job (in that order) that fails. Jobs after
// a failed one are not started; those before it all run, since one thread would have run them.
// The helper threads start with the first job that is added and end with the crew, so a copy of a
// folder without files never starts one.
class Crew {
public:
    Crew() = default;
    ~Crew();
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Queues a job. Whatever it refers to must stay valid until Finish() returns.
    void Add(std::function<Status()> job);
    // Runs the queued jobs on this thread too until every one has ended; then the first failure in
    // the order added, or success. The crew can take new jobs afterwards.
    Status Finish();

private:
    struct Job {
        std::size_t number;
        std::function<Status()> run;
    };

    void StartHelpers();
    void Help();
    // Takes the next job to run, or false when there is none; needs the lock.
    bool Take(Job& job);
    void Ended(const Job& job, Status status);

    std::mutex m_mutex;
    std::condition_variable m_work;  // a job was added, or the crew is ending
    std::condition_variable m_idle;  // a job ended
    std::deque<Job> m_queue;
    std::size_t m_added = 0;    // jobs added since the last Finish
    std::size_t m_running = 0;  // jobs taken and not yet ended
    std::size_t m_failedNumber = 0;
    Status m_failure;  // of the first job in order that failed; numbers from 1
    bool m_ending = false;
    bool m_started = false;
    std::vector<std::thread> m_helpers;
};

}  // namespace twinfold::posix
