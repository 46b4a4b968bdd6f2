// SPDX-License-Identifier: MIT
#include <pthread.h>

#include "io/worker.hpp"

namespace psrate {
namespace {

struct State {
  pthread_t thread{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t posted = PTHREAD_COND_INITIALIZER;
  pthread_cond_t done = PTHREAD_COND_INITIALIZER;
  WorkerJob job;
  bool has_job = false;
  bool quit = false;
};

void* thread_main(void* arg) {
  State& s = *static_cast<State*>(arg);
  pthread_mutex_lock(&s.lock);
  for (;;) {
    while (!s.has_job && !s.quit) pthread_cond_wait(&s.posted, &s.lock);
    if (!s.has_job) break;  // quit with nothing in hand
    WorkerJob job = s.job;
    pthread_mutex_unlock(&s.lock);
    job.run(job.arg);
    pthread_mutex_lock(&s.lock);
    s.has_job = false;
    pthread_cond_signal(&s.done);
  }
  pthread_mutex_unlock(&s.lock);
  return nullptr;
}

}  // namespace

bool start_worker(Worker& w) {
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
  w.busy = true;
  auto* s = static_cast<State*>(w.state);
  if (s == nullptr) {
    job.run(job.arg);
    return;
  }
  pthread_mutex_lock(&s->lock);
  s->job = job;
  s->has_job = true;
  pthread_cond_signal(&s->posted);
  pthread_mutex_unlock(&s->lock);
}

void wait_job(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  w.busy = false;
  if (s == nullptr) return;
  pthread_mutex_lock(&s->lock);
  while (s->has_job) pthread_cond_wait(&s->done, &s->lock);
  pthread_mutex_unlock(&s->lock);
}

void stop_worker(Worker& w) {
  auto* s = static_cast<State*>(w.state);
  wait_job(w);
  if (s == nullptr) return;
  pthread_mutex_lock(&s->lock);
  s->quit = true;
  pthread_cond_signal(&s->posted);
  pthread_mutex_unlock(&s->lock);
  pthread_join(s->thread, nullptr);
  delete s;
  w.state = nullptr;
}

}  // namespace psrate
