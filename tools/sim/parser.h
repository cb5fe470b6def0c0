// Scenario parser: the whole file is checked before any step runs, so a
// bad scenario never reaches the library half-applied.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lexer.h"
#include "scenario.h"

namespace sim {

struct ParseError {
    int line = 0;
    int col = 0;
    std::string message;
};

bool parseScenario(const std::string &file, std::string_view text, Scenario &out,
                   ParseError &error);

// One step from its words (also used for the kernel mirror's --query).
bool parseStep(const std::vector<Word> &words, Step &out, ParseError &error);

}  // namespace sim
