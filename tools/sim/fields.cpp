#include "fields.h"

namespace sim {

FieldReader::FieldReader(std::vector<Word> words, int verbCol, std::string what)
    : words_(std::move(words)),
      used_(words_.size(), false),
      verbCol_(verbCol),
      what_(std::move(what)) {
    for (size_t i = 0; i < words_.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (words_[j].key == words_[i].key)
                throw ParseFault{words_[i].col, "duplicate field '" + words_[i].key + "'"};
}

const Word *FieldReader::find(const std::string &key) const {
    for (const Word &w : words_)
        if (w.key == key && w.hasValue) return &w;
    return nullptr;
}

const Word *FieldReader::take(const std::string &key) {
    for (size_t i = 0; i < words_.size(); ++i)
        if (words_[i].key == key) {
            if (!words_[i].hasValue)
                throw ParseFault{words_[i].col,
                                 "field '" + key + "' needs a value (" + key + "=...)"};
            // "addr= 10.0.0.1": the value went into a word of its own.
            if (words_[i].value.empty() && !words_[i].quoted)
                throw ParseFault{words_[i].valueCol, "missing value for '" + key + "' (" + key +
                                                         "=VALUE, no blank after '=')"};
            used_[i] = true;
            return &words_[i];
        }
    return nullptr;
}

bool FieldReader::has(const std::string &key) const { return find(key) != nullptr; }

bool FieldReader::flag(const std::string &word) {
    for (size_t i = 0; i < words_.size(); ++i)
        if (words_[i].key == word && !words_[i].hasValue) {
            used_[i] = true;
            return true;
        }
    return false;
}

void FieldReader::missing(const std::string &key) const {
    throw ParseFault{verbCol_, "missing field '" + key + "' for " + what_};
}

void FieldReader::fail(const std::string &key, const std::string &message) const {
    const Word *w = find(key);
    throw ParseFault{w ? w->valueCol : verbCol_, message};
}

uint32_t FieldReader::u32(const std::string &key) {
    std::optional<uint32_t> v = optU32(key);
    if (!v) missing(key);
    return *v;
}

std::optional<uint32_t> FieldReader::optU32(const std::string &key) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    uint32_t v = 0;
    std::string error;
    if (!parseU32(w->value, v, error)) throw ParseFault{w->valueCol, error + " for '" + key + "'"};
    return v;
}

std::optional<int32_t> FieldReader::optI32(const std::string &key) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    int32_t v = 0;
    std::string error;
    if (!parseI32(w->value, v, error)) throw ParseFault{w->valueCol, error + " for '" + key + "'"};
    return v;
}

std::optional<std::string> FieldReader::optText(const std::string &key) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    return w->value;
}

std::optional<std::string> FieldReader::optName(const std::string &key) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    if (w->value.size() > 39)
        throw ParseFault{w->valueCol, "record name too long (" + std::to_string(w->value.size()) +
                                          " characters, at most 39)"};
    return w->value;
}

std::optional<uint32_t> FieldReader::optEvents(const std::string &key) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    uint32_t v = 0;
    std::string error;
    if (!parseEvents(w->value, v, error)) throw ParseFault{w->valueCol, error};
    return v;
}

std::optional<uint32_t> FieldReader::optAttr(const std::string &key, Family family) {
    const Word *w = take(key);
    if (!w) return std::nullopt;
    uint32_t v = 0;
    std::string error;
    if (!parseAttr(w->value, family, v, error)) throw ParseFault{w->valueCol, error};
    return v;
}

bool FieldReader::addr(const std::string &key, bool v6, uint8_t *out) {
    const Word *w = take(key);
    if (!w) return false;
    std::string error;
    if (!(v6 ? parseAddr6(w->value, out, error) : parseAddr4(w->value, out, error)))
        throw ParseFault{w->valueCol, error};
    return true;
}

bool FieldReader::prefixed(const std::string &key, bool v6, uint8_t *out, int &prefix) {
    const Word *w = take(key);
    if (!w) return false;
    std::string error;
    if (!(v6 ? parsePrefix6(w->value, out, prefix, error)
             : parsePrefix4(w->value, out, prefix, error)))
        throw ParseFault{w->valueCol, error};
    return true;
}

std::optional<bool> FieldReader::addrIsV6(const std::string &key) const {
    const Word *w = find(key);
    if (!w) return std::nullopt;
    return w->value.find(':') != std::string::npos;
}

void FieldReader::finish() const {
    for (size_t i = 0; i < words_.size(); ++i)
        if (!used_[i])
            throw ParseFault{words_[i].col,
                             (words_[i].hasValue ? "unknown field '" : "unexpected word '") +
                                 words_[i].key + "' for " + what_};
}

}  // namespace sim
