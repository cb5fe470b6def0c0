#include "collector.h"

#include <atomic>
#include <cstring>

#include "ipam.h"
#include "values.h"

namespace sim {

namespace {
std::atomic<int32_t> g_confAnswer{0};

bool isV4Event(uint32_t code) {
    return (code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID)) != 0;
}
bool isV6Event(uint32_t code) {
    return (code & (IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID |
                    IPAM6_EVT_UPDATE)) != 0;
}
}  // namespace

void Collector::add(Item item) {
    std::lock_guard<std::mutex> guard(mu_);
    items_.push_back(std::move(item));
}

std::vector<Item> Collector::take() {
    std::lock_guard<std::mutex> guard(mu_);
    std::vector<Item> out;
    out.swap(items_);
    return out;
}

Collector &Collector::instance() {
    static Collector c;
    return c;
}

void Collector::logSink(void *, uint32_t, const char *moduleName, uint32_t level, uint32_t,
                        const char *text) {
    Item item;
    item.kind = Item::Log;
    item.label = level == 3   ? "ERR"
                 : level == 7 ? "DBG"
                              : std::string("L").append(std::to_string(level));
    item.moduleName = moduleName ? moduleName : "";
    item.text = normaliseLog(text ? text : "");
    instance().add(std::move(item));
}

int32_t Collector::eventCallback(uint32_t eventCode, void *record) {
    Item item;
    item.kind = Item::Event;
    item.code = eventCode;
    // The record is valid only during the call: copy it out byte for byte.
    if (record && isV4Event(eventCode)) {
        Ipam4AddrInfo info;
        std::memcpy(&info, record, sizeof info);
        item.record = Record::from4(info);
    } else if (record && isV6Event(eventCode)) {
        Ipam6AddrInfo info;
        std::memcpy(&info, record, sizeof info);
        item.record = Record::from6(info);
    }
    instance().add(std::move(item));
    return 0;
}

void Collector::setConfAnswer(int32_t answer) { g_confAnswer = answer; }

int32_t Collector::confCallback(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    int32_t answer = g_confAnswer;
    Item item;
    item.kind = Item::Note;
    item.label = "conf callback " + hex(static_cast<uint32_t>(a)) + " " +
                 hex(static_cast<uint32_t>(b)) + " " + hex(static_cast<uint32_t>(c)) + " " +
                 hex(static_cast<uint32_t>(d)) + " answers " + std::to_string(answer);
    instance().add(std::move(item));
    return answer;
}

std::string normaliseLog(const std::string &text) {
    std::string out = text;
    if (out.rfind("(PID:", 0) == 0) {
        size_t close = out.find(')');
        if (close != std::string::npos) out = "(PID:*)" + out.substr(close + 1);
    }
    if (out.find("Subscriber input:") != std::string::npos) {
        size_t last = out.find_last_of(' ');
        if (last != std::string::npos) out = out.substr(0, last + 1) + "<callback>";
    }
    return out;
}

}  // namespace sim
