// SPDX-License-Identifier: MIT
#include <pthread.h>

#include <array>

#include "io/worker.hpp"

namespace psrate {
namespace {

struct State {
  pthread_t thread{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t posted = PTHREAD_COND_INITIALIZER;  // a job came, or the end
  pthread_cond_t done = PTHREAD_COND_INITIALIZER;    // a job is done
  std::array<WorkerJob, kWorkerQueue> queue{};
  uint64_t in = 0, out = 0;  // jobs posted, jobs done
  bool quit = false;
};

void* thread_main(void* arg) {
  State& s = *static_cast<State*>(arg);
  pthread_mutex_lock(&s.lock);
  for (;;) {
    while (s.out == s.in && !s.quit) pthread_cond_wait(&s.posted, &s.lock);
    if (s.out == s.in) break;  // the end, with nothing left
    WorkerJob job = s.queue[s.out % kWorkerQueue];
    pthread_mutex_unlock(&s.lock);
    job.run(job.arg);
    pthread_mutex_lock(&s.lock);
    ++s.out;
    pthread_cond_broadcast(&s.done);
  }
  pthread_mutex_unlock(&s.lock);
  return nullptr;
}

}  // namespace

bool start_worker(Worker& w) {
  w.posted = 0;
  auto* s = new State;
  if (pthread_create(&s->thread, nullptr, thread_main, s) != 0) {
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
  pthread_mutex_lock(&s->lock);
  while (s->in - s->out == kWorkerQueue) pthread_cond_wait(&s->done, &s->lock);
  s->queue[s->in % kWorkerQueue] = job;
  ++s->in;
  pthread_cond_signal(&s->posted);
  pthread_mutex_unlock(&s->lock);
}

void wait_jobs(Worker& w, uint64_t count) {
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) return;
  pthread_mutex_lock(&s->lock);
  while (s->out < count) pthread_cond_wait(&s->done, &s->lock);
  pthread_mutex_unlock(&s->lock);
}

void stop_worker(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) return;
  pthread_mutex_lock(&s->lock);
  s->quit = true;
  pthread_cond_signal(&s->posted);
  pthread_mutex_unlock(&s->lock);
  pthread_join(s->thread, nullptr);  // after the jobs in hand
  delete s;
  w.state = nullptr;
}

}  // namespace psrate
