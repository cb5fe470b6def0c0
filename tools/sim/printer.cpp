#include "printer.h"

#include <nlohmann/json.hpp>

#include "values.h"

namespace sim {

namespace {

nlohmann::json recordJson(const Record &r) {
    int bytes = r.v6 ? 16 : 4;
    nlohmann::json j;
    j["family"] = r.v6 ? "ipv6" : "ipv4";
    if (r.requestCode) j["code"] = *r.requestCode;
    j["if"] = r.ifIndex;
    j["name"] = r.name;
    j["vrf"] = r.vrfIndex;
    j["addr"] = r.v6 ? addr6Text(r.addr) : addr4Text(r.addr);
    j["mask"] = r.v6 ? addr6Text(r.mask) : addr4Text(r.mask);
    int prefix = maskPrefix(r.mask, bytes);
    j["prefix"] = prefix >= 0 ? nlohmann::json(prefix) : nlohmann::json();
    if (r.v6) j["dest"] = addr6Text(r.dest);
    j["attr"] = r.attr;
    j["attrNames"] = attrText(r.attr, r.v6 ? Family::v6 : Family::v4);
    if (r.batchVer) j["ver"] = *r.batchVer;
    return j;
}

std::string labelSuffix(const Item &item) {
    std::string s;
    if (!item.label.empty()) s.append(" ").append(item.label);
    return s;
}

}  // namespace

std::string recordJsonText(const Record &r) { return recordJson(r).dump(); }

std::string itemText(const Item &item) {
    switch (item.kind) {
    case Item::Event: {
        std::string s = "event " + eventName(item.code);
        if (item.record) s.append(" ").append(recordText(*item.record));
        return s;
    }
    case Item::Log:
        return "log " + item.label + " " + item.moduleName + " " + item.text;
    case Item::Record:
        return (item.label.empty() ? "record" : item.label) + " " + recordText(*item.record);
    case Item::Result:
        return "result " + std::to_string(item.number) + labelSuffix(item);
    case Item::Value:
        return "value " + hex(static_cast<uint32_t>(item.number)) + labelSuffix(item);
    case Item::Note:
        return item.label;
    }
    return "";
}

void Printer::emit(const std::string &text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);  // a follower reads us line by line
}

void Printer::step(int line, const std::string &source) {
    if (!json_) return emit("> " + source);
    emit(nlohmann::json{{"line", line}, {"kind", "step"}, {"text", source}}.dump());
}

void Printer::note(int line, const std::string &text) {
    if (!json_) return emit(text);
    emit(nlohmann::json{{"line", line}, {"kind", "note"}, {"text", text}}.dump());
}

void Printer::item(int line, const Item &item) {
    if (!json_) return emit("  " + itemText(item));
    nlohmann::json j{{"line", line}};
    switch (item.kind) {
    case Item::Event:
        j["kind"] = "event";
        j["code"] = item.code;
        j["name"] = eventName(item.code);
        if (item.record) j["record"] = recordJson(*item.record);
        break;
    case Item::Log:
        j["kind"] = "log";
        j["level"] = item.label;
        j["module"] = item.moduleName;
        j["text"] = item.text;
        break;
    case Item::Record:
        j["kind"] = item.label.empty() ? "record" : item.label;
        j["record"] = recordJson(*item.record);
        break;
    case Item::Result:
        j["kind"] = "result";
        j["result"] = item.number;
        if (!item.label.empty()) j["name"] = item.label;
        break;
    case Item::Value:
        j["kind"] = "value";
        j["value"] = item.number;
        if (!item.label.empty()) j["names"] = item.label;
        break;
    case Item::Note:
        j["kind"] = "note";
        j["text"] = item.label;
        break;
    }
    emit(j.dump());
}

}  // namespace sim
