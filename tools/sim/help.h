// The scenario summary shown by `ipam-sim run --help`; docs/scenarios.md is
// the full reference and lists the same verbs.
#pragma once

namespace sim {
extern const char *const kScenarioHelp;
extern const char *const kKernelHelp;
extern const char *const kServeHelp;
extern const char *const kCtlHelp;
}  // namespace sim
