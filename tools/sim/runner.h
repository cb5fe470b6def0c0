// Runs a parsed scenario against libipam and the stand-in platform, printing
// what the host sees and checking the expect lines.
#pragma once

#include <cstdio>
#include <vector>

#include "collector.h"
#include "printer.h"
#include "scenario.h"

namespace sim {

// Points the platform's log sink at the collector and silences its stderr
// echo; `debug` switches every debug bit of the library on.
void setUpPlatform(bool debug);

// Performs one action step; what it produced is in the collector.
void perform(const Step &step);

// 0 when every expectation held, 1 at the first that did not (reported on
// `err` as FILE:LINE: expected ..., got ...).
int runScenario(const Scenario &scenario, Printer &printer, std::FILE *err);

}  // namespace sim
