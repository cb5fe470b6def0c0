// The publisher's record commands read without the general lexer and
// parser: `ipam-sim serve` takes hundreds of thousands of stdin lines a
// second, nearly all of them plain adds and deletes.
#pragma once

#include <string_view>

#include "scenario.h"

namespace sim {

// Takes a plain add4, del4, batch4, add6, del6, update6 or batch6 line: the
// verb and its record's key=value fields, each once, every value valid, no
// quotes and no comment. Such a line gives exactly the step parseStep
// gives it. Anything else answers false and is left to the general parser,
// which takes it or says what is wrong with it.
bool parseChangeLine(std::string_view line, Step &out);

}  // namespace sim
