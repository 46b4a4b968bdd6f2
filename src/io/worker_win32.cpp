// SPDX-License-Identifier: MIT
#include <windows.h>

#include <array>

#include "io/worker.hpp"

namespace psrate {
namespace {

struct State {
  HANDLE thread = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE posted = CONDITION_VARIABLE_INIT;  // a job came, or the end
  CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;    // a job is done
  std::array<WorkerJob, kWorkerQueue> queue{};
  uint64_t in = 0, out = 0;  // jobs posted, jobs done
  bool quit = false;
};

DWORD WINAPI thread_main(LPVOID arg) {
  State& s = *static_cast<State*>(arg);
  AcquireSRWLockExclusive(&s.lock);
  for (;;) {
    while (s.out == s.in && !s.quit) SleepConditionVariableSRW(&s.posted, &s.lock, INFINITE, 0);
    if (s.out == s.in) break;  // the end, with nothing left
    WorkerJob job = s.queue[s.out % kWorkerQueue];
    ReleaseSRWLockExclusive(&s.lock);
    job.run(job.arg);
    AcquireSRWLockExclusive(&s.lock);
    ++s.out;
    WakeAllConditionVariable(&s.done);
  }
  ReleaseSRWLockExclusive(&s.lock);
  return 0;
}

}  // namespace

bool start_worker(Worker& w) {
  w.posted = 0;
  auto* s = new State;
  s->thread = CreateThread(nullptr, 0, thread_main, s, 0, nullptr);
  if (s->thread == nullptr) {
    delete s;
    w.state = nullptr;
    return false;
  }
  w.state = s;
  return true;
}

void post_job(Worker& w, WorkerJob job) {
  ++w.posted;
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) {
    job.run(job.arg);
    return;
  }
  AcquireSRWLockExclusive(&s->lock);
  while (s->in - s->out == kWorkerQueue) SleepConditionVariableSRW(&s->done, &s->lock, INFINITE, 0);
  s->queue[s->in % kWorkerQueue] = job;
  ++s->in;
  WakeConditionVariable(&s->posted);
  ReleaseSRWLockExclusive(&s->lock);
}

void wait_jobs(Worker& w, uint64_t count) {
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) return;
  AcquireSRWLockExclusive(&s->lock);
  while (s->out < count) SleepConditionVariableSRW(&s->done, &s->lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&s->lock);
}

void stop_worker(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) return;
  AcquireSRWLockExclusive(&s->lock);
  s->quit = true;
  WakeConditionVariable(&s->posted);
  ReleaseSRWLockExclusive(&s->lock);
  WaitForSingleObject(s->thread, INFINITE);  // after the jobs in hand
  CloseHandle(s->thread);
  delete s;
  w.state = nullptr;
}

}  // namespace psrate
