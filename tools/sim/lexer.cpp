#include "lexer.h"

namespace sim {

namespace {
bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
}  // namespace

LexResult lexLine(std::string_view line) {
    LexResult out;
    size_t i = 0;
    size_t end = 0;  // one past the last character of the last word
    while (i < line.size()) {
        while (i < line.size() && blank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        Word w;
        w.col = static_cast<int>(i) + 1;
        while (i < line.size() && !blank(line[i]) && line[i] != '=' && line[i] != '#')
            w.key += line[i++];
        if (i < line.size() && line[i] == '=') {
            w.hasValue = true;
            ++i;
            w.valueCol = static_cast<int>(i) + 1;
            if (i < line.size() && line[i] == '"') {
                size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos) {
                    out.errorCol = static_cast<int>(i) + 1;
                    return out;
                }
                w.value = std::string(line.substr(i + 1, close - i - 1));
                w.quoted = true;
                i = close + 1;
            } else {
                while (i < line.size() && !blank(line[i]) && line[i] != '#') w.value += line[i++];
            }
        }
        end = i;
        out.words.push_back(std::move(w));
    }
    size_t start = line.find_first_not_of(" \t\r");
    if (!out.words.empty()) out.source = std::string(line.substr(start, end - start));
    return out;
}

}  // namespace sim
