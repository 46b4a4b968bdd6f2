// SPDX-License-Identifier: MIT
// A second thread that runs one job at a time, so that the decoder buffers of
// --check are played while the walk reads on. post_job() hands it a job,
// wait_job() returns once that job is done. Where no thread can be made, the
// jobs run in the caller's thread, in the same order.
#pragma once

namespace psrate {

struct WorkerJob {
  void (*run)(void* arg) = nullptr;
  void* arg = nullptr;
};

struct Worker {
  void* state = nullptr;  // the platform's thread and its signals; null: jobs run inline
  bool busy = false;      // a job was posted and not waited for
};

// Starts the thread; false (and jobs run inline) when it cannot be made.
bool start_worker(Worker& w);
// Runs `job` on the thread. The job posted before must have been waited for.
void post_job(Worker& w, WorkerJob job);
// Returns once the job posted last is done (at once when there is none).
void wait_job(Worker& w);
// Waits for the job in hand, then ends the thread.
void stop_worker(Worker& w);

}  // namespace psrate
