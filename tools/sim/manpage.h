// ipam-sim(1), written from the command line's own definition: the same
// subcommands, options and help texts `--help` prints, so the manual cannot
// fall behind the tool.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>

namespace sim {
// Writes the manual page in man(7) format; 0, or 1 when writing failed.
int printManPage(const CLI::App &app, std::FILE *out);
}  // namespace sim
