#include "runner.h"

#include <optional>

#include "values.h"

namespace sim {

namespace {

// What the last action step produced, with the read positions of the
// expect lines that follow it: events, records and log lines are matched
// in order, each expect line looking behind the previous match.
struct Outcome {
    std::vector<Item> items;
    size_t eventPos = 0, recordPos = 0, logPos = 0;

    std::vector<const Item *> of(Item::Kind kind) const {
        std::vector<const Item *> v;
        for (const Item &i : items)
            if (i.kind == kind) v.push_back(&i);
        return v;
    }
    const Item *last(Item::Kind kind) const {
        const Item *found = nullptr;
        for (const Item &i : items)
            if (i.kind == kind) found = &i;
        return found;
    }
};

std::string listText(const std::vector<const Item *> &items, size_t from) {
    if (from >= items.size()) return "nothing more";
    std::string s;
    for (size_t i = from; i < items.size(); ++i) join(s, "; ", itemText(*items[i]));
    return s;
}

std::string expectedEvent(const Step &s) {
    std::string m = matchText(s.match);
    std::string out = "event " + eventName(s.code);
    if (!m.empty()) out += " " + m;
    return out;
}

// Empty when the expectation holds, else "expected ..., got ...".
std::string check(const Step &s, Outcome &o) {
    switch (s.verb) {
    case Verb::ExpectEvent: {
        auto events = o.of(Item::Event);
        for (size_t i = o.eventPos; i < events.size(); ++i) {
            const Item &e = *events[i];
            bool recordOk = s.match.empty() || (e.record && s.match.matches(*e.record));
            if (e.code == s.code && recordOk) {
                o.eventPos = i + 1;
                return "";
            }
        }
        return "expected " + expectedEvent(s) + ", got " + listText(events, o.eventPos);
    }
    case Verb::ExpectEvents: {
        size_t n = o.of(Item::Event).size();
        if (static_cast<int64_t>(n) == s.number) return "";
        return "expected " + std::to_string(s.number) + " events, got " + std::to_string(n) +
               (n ? ": " + listText(o.of(Item::Event), 0) : "");
    }
    case Verb::ExpectRecord: {
        auto records = o.of(Item::Record);
        for (size_t i = o.recordPos; i < records.size(); ++i)
            if (s.match.matches(*records[i]->record)) {
                o.recordPos = i + 1;
                return "";
            }
        return "expected record " + matchText(s.match) + ", got " + listText(records, o.recordPos);
    }
    case Verb::ExpectCount: {
        size_t n = o.of(Item::Record).size();
        if (static_cast<int64_t>(n) == s.number) return "";
        return "expected " + std::to_string(s.number) + " records, got " + std::to_string(n);
    }
    case Verb::ExpectResult: {
        const Item *r = o.last(Item::Result);
        if (r && r->number == s.number) return "";
        return "expected result " + std::to_string(s.number) + ", got " +
               (r ? itemText(*r) : "no result (the step gives none)");
    }
    case Verb::ExpectValue: {
        const Item *v = o.last(Item::Value);
        if (v && v->number == s.number) return "";
        return "expected value " + hex(static_cast<uint32_t>(s.number)) + ", got " +
               (v ? itemText(*v) : "no value (the step gives none)");
    }
    case Verb::ExpectLog: {
        auto logs = o.of(Item::Log);
        for (size_t i = o.logPos; i < logs.size(); ++i)
            if (logs[i]->text.find(s.pattern) != std::string::npos) {
                o.logPos = i + 1;
                return "";
            }
        return "expected a log line containing \"" + s.pattern + "\", got " +
               listText(logs, o.logPos);
    }
    default:
        return "";
    }
}

}  // namespace

int runScenario(const Scenario &scenario, Printer &printer, std::FILE *err) {
    Outcome last;
    Collector::instance().take();  // nothing from before the first step
    for (const Step &s : scenario.steps) {
        if (isExpect(s.verb)) {
            std::string failure = check(s, last);
            if (!failure.empty()) {
                std::fprintf(err, "%s:%d: %s\n", scenario.file.c_str(), s.line, failure.c_str());
                return 1;
            }
            continue;
        }
        printer.step(s.line, s.source);
        perform(s);
        last = Outcome{Collector::instance().take()};
        for (const Item &item : last.items) printer.item(s.line, item);
    }
    return 0;
}

}  // namespace sim
