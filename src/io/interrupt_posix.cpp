// SPDX-License-Identifier: MIT
#include <signal.h>

#include "io/interrupt.hpp"

namespace psrate {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

}  // namespace

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

const volatile std::sig_atomic_t* interrupt_flag() { return &interrupted; }

}  // namespace psrate
