// SPDX-License-Identifier: MIT
#include "cli/cli.hpp"

int main(int argc, char** argv) { return psrate::run(argc, argv); }
