// SPDX-License-Identifier: MIT
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "io/interrupt.hpp"

namespace psrate {
namespace {

volatile std::sig_atomic_t interrupted = 0;

// Runs on a thread of its own; returning TRUE keeps the process alive.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  interrupted = 1;
  return TRUE;
}

}  // namespace

void catch_interrupts() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

const volatile std::sig_atomic_t* interrupt_flag() { return &interrupted; }

}  // namespace psrate
