// Reads the key=value words of one step. Each accessor consumes its field;
// finish() rejects whatever the verb did not ask for. Faults are thrown as
// ParseFault and turned into FILE:LINE:COLUMN messages by the parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lexer.h"
#include "values.h"

namespace sim {

struct ParseFault {
    int col;
    std::string message;
};

class FieldReader {
public:
    // words: the step's words after its verb (and sub-verbs); verbCol and
    // what name the verb for "missing field" messages.
    FieldReader(std::vector<Word> words, int verbCol, std::string what);

    bool has(const std::string &key) const;
    bool flag(const std::string &word);  // a bare word such as "follow"

    uint32_t u32(const std::string &key);
    std::optional<uint32_t> optU32(const std::string &key);
    std::optional<int32_t> optI32(const std::string &key);
    std::optional<std::string> optText(const std::string &key);
    // Interface names: at most 39 characters, as the records hold them.
    std::optional<std::string> optName(const std::string &key);
    std::optional<uint32_t> optEvents(const std::string &key);
    std::optional<uint32_t> optAttr(const std::string &key, Family family);
    // Plain address (no prefix) into `out`; false when absent.
    bool addr(const std::string &key, bool v6, uint8_t *out);
    // ADDR[/LEN]; prefix -1 when no length was written.
    bool prefixed(const std::string &key, bool v6, uint8_t *out, int &prefix);
    // The family of an address field from its text, if present.
    std::optional<bool> addrIsV6(const std::string &key) const;

    [[noreturn]] void missing(const std::string &key) const;
    [[noreturn]] void fail(const std::string &key, const std::string &message) const;
    void finish() const;

private:
    const Word *find(const std::string &key) const;
    const Word *take(const std::string &key);

    std::vector<Word> words_;
    std::vector<bool> used_;
    int verbCol_;
    std::string what_;
};

}  // namespace sim
