// SPDX-License-Identifier: MIT
// Ctrl+C and termination during a rewrite: the signal only raises a flag, and
// the rewriter stops between two writes, so that no field is left half-written.
#pragma once

#include <csignal>

namespace psrate {

// From now on SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on Windows) raise the
// flag instead of ending the program; blocked calls are restarted.
void catch_interrupts();

// The flag: non-zero once an interrupt has come.
const volatile std::sig_atomic_t* interrupt_flag();

}  // namespace psrate
