// SPDX-License-Identifier: MIT
// A second thread that runs jobs in the order they are posted, so that the
// decoder buffers of --check are played while the walk reads on. Up to
// kWorkerQueue jobs wait at a time; post_job() waits for room. Where no thread
// can be made, each job runs in the caller's thread as it is posted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace psrate {

struct WorkerJob {
  void (*run)(void* arg) = nullptr;
  void* arg = nullptr;
};

inline constexpr size_t kWorkerQueue = 8;

struct Worker {
  void* state = nullptr;  // the platform's thread, queue and signals; null: jobs run inline
  uint64_t posted = 0;    // jobs posted so far
};

// Starts the thread; false (and jobs run inline) when it cannot be made.
bool start_worker(Worker& w);
// Queues `job` (the n-th job posted is number n - 1).
void post_job(Worker& w, WorkerJob job);
// Returns once the first `count` jobs posted are done.
void wait_jobs(Worker& w, uint64_t count);
// Waits for every job posted, then ends the thread.
void stop_worker(Worker& w);

}  // namespace psrate
