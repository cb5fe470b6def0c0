// Prints steps and what the host saw, as stable text or as JSON Lines.
#pragma once

#include <cstdio>
#include <string>

#include "collector.h"

namespace sim {

class Printer {
public:
    Printer(std::FILE *out, bool json) : out_(out), json_(json) {}

    void step(int line, const std::string &source);
    void item(int line, const Item &item);
    // Free text for the kernel mirror's own notes ("# resync ...").
    void note(int line, const std::string &text);

private:
    void emit(const std::string &text);
    std::FILE *out_;
    bool json_;
};

std::string itemText(const Item &item);
// One record as a JSON object, the form the JSON Lines output uses.
std::string recordJsonText(const Record &r);

}  // namespace sim
