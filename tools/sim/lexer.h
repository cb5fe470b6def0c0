// Splits one scenario line into words: bare words and key=value pairs, with
// the 1-based column of each, '#' comments and double-quoted values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Word {
    std::string key;    // the bare word, or the part before '='
    std::string value;  // after '=', quotes removed
    bool hasValue = false;
    bool quoted = false;  // the value was written in double quotes
    int col = 0;          // where the word starts
    int valueCol = 0;     // where the value starts
};

struct LexResult {
    std::vector<Word> words;
    std::string source;  // the line without its comment, blanks trimmed
    int errorCol = 0;    // non-zero: an unterminated quote starts here
};

LexResult lexLine(std::string_view line);

}  // namespace sim
