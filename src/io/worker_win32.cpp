// SPDX-License-Identifier: MIT
#include <windows.h>

#include "io/worker.hpp"

namespace psrate {
namespace {

struct State {
  HANDLE thread = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE posted = CONDITION_VARIABLE_INIT;
  CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;
  WorkerJob job;
  bool has_job = false;
  bool quit = false;
};

DWORD WINAPI thread_main(LPVOID arg) {
  State& s = *static_cast<State*>(arg);
  AcquireSRWLockExclusive(&s.lock);
  for (;;) {
    while (!s.has_job && !s.quit) SleepConditionVariableSRW(&s.posted, &s.lock, INFINITE, 0);
    if (!s.has_job) break;  // quit with nothing in hand
    WorkerJob job = s.job;
    ReleaseSRWLockExclusive(&s.lock);
    job.run(job.arg);
    AcquireSRWLockExclusive(&s.lock);
    s.has_job = false;
    WakeConditionVariable(&s.done);
  }
  ReleaseSRWLockExclusive(&s.lock);
  return 0;
}

}  // namespace

bool start_worker(Worker& w) {
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
  w.busy = true;
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) {
    job.run(job.arg);
    return;
  }
  AcquireSRWLockExclusive(&s->lock);
  s->job = job;
  s->has_job = true;
  WakeConditionVariable(&s->posted);
  ReleaseSRWLockExclusive(&s->lock);
}

void wait_job(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  w.busy = false;
  if (s == nullptr) return;
  AcquireSRWLockExclusive(&s->lock);
  while (s->has_job) SleepConditionVariableSRW(&s->done, &s->lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&s->lock);
}

void stop_worker(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  wait_job(w);
  if (s == nullptr) return;
  AcquireSRWLockExclusive(&s->lock);
  s->quit = true;
  WakeConditionVariable(&s->posted);
  ReleaseSRWLockExclusive(&s->lock);
  WaitForSingleObject(s->thread, INFINITE);
  CloseHandle(s->thread);
  delete s;
  w.state = nullptr;
}

}  // namespace psrate
