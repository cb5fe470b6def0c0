#include "parser.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <map>

#include "fields.h"

namespace sim {

bool isExpect(Verb v) { return v >= Verb::ExpectEvent; }

namespace {

using Words = std::vector<Word>;

void setName(char (&field)[IPAM_IFNAME_SIZE], const std::string &name) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.data(), name.size());  // at most 39: checked by optName
}

// The address and mask of a record: ADDR/LEN, or ADDR with mask=, or a host
// address when neither is written.
void readAddrMask(FieldReader &f, bool v6, uint8_t *addr, uint8_t *mask) {
    int bytes = v6 ? 16 : 4;
    int prefix = -1;
    if (!f.prefixed("addr", v6, addr, prefix)) f.missing("addr");
    bool hasMask = f.has("mask");
    if (hasMask && prefix >= 0)
        f.fail("mask", "give the mask either as a prefix length or as mask=, not both");
    if (!f.addr("mask", v6, mask)) prefixMask(prefix >= 0 ? prefix : bytes * 8, mask, bytes);
}

void readRecord4(FieldReader &f, Ipam4AddrInfo &r, bool required) {
    std::optional<uint32_t> ifIndex = f.optU32("if");
    if (!ifIndex && required) f.missing("if");
    r.ifIndex = ifIndex.value_or(0);
    setName(r.ifName, f.optName("name").value_or(""));
    r.vrfIndex = f.optU32("vrf").value_or(0);
    uint8_t addr[4] = {}, mask[4] = {};
    if (required || f.has("addr")) readAddrMask(f, false, addr, mask);
    std::memcpy(&r.ipAddr, addr, 4);  // network byte order, byte for byte
    std::memcpy(&r.ipMask, mask, 4);
    r.ipAttr = f.optAttr("attr", Family::v4).value_or(0);
}

void readRecord6(FieldReader &f, Ipam6AddrInfo &r) {
    r.ifIndex = f.u32("if");
    setName(r.ifName, f.optName("name").value_or(""));
    r.vrfIndex = f.optU32("vrf").value_or(0);
    readAddrMask(f, true, r.ip6Addr, r.ip6Mask);
    f.addr("dest", true, r.ip6DestAddr);
    r.ip6Attr = f.optAttr("attr", Family::v6).value_or(0);
}

// Expectation on a record: only what is written. The family comes from the
// event code, else from the address, else IPv4 attribute names are tried
// before IPv6 ones.
void readMatch(FieldReader &f, RecordMatch &m, std::optional<bool> v6) {
    if (!v6) v6 = f.addrIsV6("addr");
    m.v6 = v6;
    bool six = v6.value_or(false);
    m.requestCode = f.optI32("code");
    m.ifIndex = f.optU32("if");
    m.name = f.optName("name");
    m.vrfIndex = f.optU32("vrf");
    m.hasAddr = f.prefixed("addr", six, m.addr, m.prefix);
    m.hasMask = f.addr("mask", six, m.mask);
    m.hasDest = f.addr("dest", true, m.dest);
    if (f.has("attr") && !v6) {
        uint32_t attr = 0;
        std::string error;
        const std::string text = *f.optText("attr");
        if (!parseAttr(text, Family::v4, attr, error) && !parseAttr(text, Family::v6, attr, error))
            f.fail("attr", "unknown attribute in '" + text + "'");
        m.attr = attr;
    } else {
        m.attr = f.optAttr("attr", six ? Family::v6 : Family::v4);
    }
    m.batchVer = f.optU32("ver");
}

// Result names a scenario may write instead of numbers.
const std::map<std::string, int64_t> kResults{
    {"OK", 0},
    {"FAIL", -1},
    {"WALK_END", IPAM_WALK_END},
    {"NOT_SUBSCRIBED", IPAM_ERR_NOT_SUBSCRIBED},
    {"NOT_FOUND", IPAM_ERR_NOT_FOUND},
    {"PARAM", IPAM_ERR_PARAM},
    {"CMF_ERR_PARAM", IPAM_CMF_ERR_PARAM},
    {"CMF_ERR_PARAM_ID", IPAM_CMF_ERR_PARAM_ID},
    {"CMF_END", IPAM_CMF_END},
    {"NO_PEER", IPAMPLAT_NO_PEER},
};

// Takes the first word as a sub-verb such as "start" in "batch start".
std::string subVerb(Words &rest, int verbCol, const std::string &verb, const char *choices) {
    if (rest.empty() || rest[0].hasValue)
        throw ParseFault{rest.empty() ? verbCol : rest[0].col,
                         "missing " + verb + " form (" + choices + ")"};
    std::string s = rest[0].key;
    rest.erase(rest.begin());
    return s;
}

[[noreturn]] void unknownForm(const Word &w, const std::string &verb, const char *choices) {
    throw ParseFault{w.col, "unknown " + verb + " form '" + w.key + "' (" + choices + ")"};
}

// A single positional word after the forms, e.g. the flag of "mgmt debug set api".
std::optional<Word> takeBare(Words &rest) {
    if (rest.empty() || rest[0].hasValue) return std::nullopt;
    Word w = rest[0];
    rest.erase(rest.begin());
    return w;
}

int64_t parseNumberOrName(const Word &w, const std::map<std::string, int64_t> &names) {
    std::string text = w.key;
    if (text.rfind("IPAM_", 0) == 0) text = text.substr(5);
    auto it = names.find(text);
    if (it != names.end()) return it->second;
    int32_t v = 0;
    std::string error;
    if (parseI32(w.key, v, error)) return v;
    if (std::isalpha(static_cast<unsigned char>(w.key[0]))) {
        std::string known;
        for (const auto &[name, value] : names) join(known, ", ", name);
        error = "unknown result '" + w.key + "' (a number or " + known + ")";
    }
    throw ParseFault{w.col, error};
}

void parseQuery(Step &s, Words rest, int col) {
    const char *forms = "configured4, primary4, addr4, src6, ifaddr6, addr6, subscribed, care";
    Word formWord = rest.empty() ? Word{} : rest[0];
    std::string form = subVerb(rest, col, "query", forms);
    FieldReader f(rest, col, "query " + form);
    auto ifOrName = [&] {
        if (std::optional<std::string> n = f.optName("name")) {
            s.byName = true;
            s.ifName = *n;
        } else if (std::optional<uint32_t> i = f.optU32("if")) {
            s.ifIndex = *i;
        } else {
            throw ParseFault{col, "missing field 'if' or 'name' for query " + form};
        }
    };
    if (form == "configured4") {
        s.verb = Verb::QueryConfigured4;
        s.ifIndex = f.u32("if");
    } else if (form == "primary4") {
        s.verb = Verb::QueryPrimary4;
        ifOrName();
    } else if (form == "addr4" || form == "addr6") {
        bool v6 = form == "addr6";
        s.verb = v6 ? Verb::QueryAddr6 : Verb::QueryAddr4;
        s.vrfIndex = f.optU32("vrf").value_or(0);
        if (!f.addr("addr", v6, s.addr)) f.missing("addr");
        s.hasAddr = true;
    } else if (form == "src6") {
        s.verb = Verb::QuerySrc6;
        ifOrName();
        s.hasAddr = f.addr("dest", true, s.addr);
    } else if (form == "ifaddr6") {
        s.verb = Verb::QueryIfAddr6;
        s.ifIndex = f.u32("if");
        if (!f.addr("addr", true, s.addr)) f.missing("addr");
        s.hasAddr = true;
    } else if (form == "subscribed") {
        s.verb = Verb::QuerySubscribed;
    } else if (form == "care") {
        s.verb = Verb::QueryCare;
    } else {
        unknownForm(formWord, "query", forms);
    }
    f.finish();
}

void parseMgmt(Step &s, Words rest, int col) {
    const char *forms = "debug, export4, export6";
    Word formWord = rest.empty() ? Word{} : rest[0];
    std::string form = subVerb(rest, col, "mgmt", forms);
    if (form == "debug") {
        const char *ops = "get, set, clear";
        Word opWord = rest.empty() ? Word{} : rest[0];
        std::string op = subVerb(rest, col, "mgmt debug", ops);
        if (op == "get")
            s.mgmtOp = IPAM_CMF_OP_GET;
        else if (op == "set")
            s.mgmtOp = IPAM_CMF_OP_SET;
        else if (op == "clear")
            s.mgmtOp = IPAM_CMF_OP_CLEAR;
        else
            unknownForm(opWord, "mgmt debug", ops);
        s.verb = Verb::MgmtDebug;
        std::optional<Word> flagWord = takeBare(rest);
        if (!flagWord && op != "get")
            throw ParseFault{col, "missing debug flag for mgmt debug " + op +
                                      " (api, rsv, db, event, sub, all or a parameter id)"};
        s.param = IPAM_CMF_PARAM_ALL;
        if (flagWord) {
            auto it = kDebugParams.find(flagWord->key);
            std::string error;
            if (it != kDebugParams.end())
                s.param = it->second;
            else if (!parseI32(flagWord->key, s.param, error))
                throw ParseFault{flagWord->col, "unknown debug flag '" + flagWord->key + "'"};
        }
        FieldReader f(rest, col, "mgmt debug");
        s.length = f.optU32("len").value_or(0);
        f.finish();
    } else if (form == "export4" || form == "export6") {
        s.verb = Verb::MgmtExport;
        s.code = form == "export4" ? IPAM_CMF_OBJ_ADDR4_TABLE : IPAM_CMF_OBJ_ADDR6_TABLE;
        FieldReader f(rest, col, "mgmt " + form);
        if (std::optional<std::string> page = f.optText("page")) {
            std::string error;
            if (!parseI32(*page, s.page, error) || s.page < 1 || s.page > 100000)
                f.fail("page", "bad page size '" + *page + "' (1 to 100000)");
        }
        s.follow = f.flag("follow");
        f.finish();
    } else {
        unknownForm(formWord, "mgmt", forms);
    }
}

void parseConf(Step &s, Words rest, int col) {
    const char *forms = "init, fini, reply, call";
    Word formWord = rest.empty() ? Word{} : rest[0];
    std::string form = subVerb(rest, col, "conf", forms);
    FieldReader f(rest, col, "conf " + form);
    if (form == "init") {
        s.verb = Verb::ConfInit;
        s.hostValue1 = f.optU32("v1").value_or(0);
        s.hostValue2 = f.optU32("v2").value_or(0);
        s.answer = f.optI32("answer").value_or(0);
    } else if (form == "fini") {
        s.verb = Verb::ConfFini;
    } else if (form == "reply") {
        s.verb = Verb::ConfReply;
        ipamplat_scs_script d{};
        d.recvResult = 1;
        d.parseResult = 1;
        d.initResult = f.optI32("init").value_or(d.initResult);
        d.finiResult = f.optI32("fini").value_or(d.finiResult);
        d.sendResult = f.optI32("send").value_or(d.sendResult);
        d.recvResult = f.optI32("recv").value_or(d.recvResult);
        d.parseResult = f.optI32("parse").value_or(d.parseResult);
        int32_t err = f.optI32("err").value_or(0);
        if (err < INT16_MIN || err > INT16_MAX) f.fail("err", "bad error code (a 16-bit number)");
        d.replyErrCode = static_cast<int16_t>(err);
        s.script = d;
    } else if (form == "call") {
        s.verb = Verb::ConfCall;
        const char *keys[4] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; ++i) s.args[i] = f.optU32(keys[i]).value_or(0);
    } else {
        unknownForm(formWord, "conf", forms);
    }
    f.finish();
}

void parseExpect(Step &s, Words rest, int col) {
    const char *forms = "event, events, result, record, count, value, log";
    Word formWord = rest.empty() ? Word{} : rest[0];
    std::string form = subVerb(rest, col, "expect", forms);
    auto number = [&](const char *what) -> Word {
        std::optional<Word> w = takeBare(rest);
        if (!w) throw ParseFault{col, std::string("missing ") + what + " for expect " + form};
        return *w;
    };
    if (form == "event") {
        s.verb = Verb::ExpectEvent;
        Word code = number("event code");
        std::string error;
        if (!parseEvents(code.key, s.code, error)) throw ParseFault{code.col, error};
        if (__builtin_popcount(s.code) != 1)
            throw ParseFault{code.col, "an event has exactly one code"};
        bool v6 = (s.code & (IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID |
                             IPAM6_EVT_UPDATE)) != 0;
        bool v4 =
            (s.code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID)) != 0;
        FieldReader f(rest, col, "expect event");
        readMatch(f, s.match, v6 || v4 ? std::optional<bool>(v6) : std::nullopt);
        f.finish();
        return;
    }
    if (form == "record") {
        s.verb = Verb::ExpectRecord;
        FieldReader f(rest, col, "expect record");
        readMatch(f, s.match, std::nullopt);
        f.finish();
        return;
    }
    if (form == "log") {
        s.verb = Verb::ExpectLog;
        FieldReader f(rest, col, "expect log");
        std::optional<std::string> text = f.optText("text");
        if (!text) f.missing("text");
        s.pattern = *text;
        f.finish();
        return;
    }
    if (form == "events" || form == "count" || form == "value") {
        s.verb = form == "events"  ? Verb::ExpectEvents
                 : form == "count" ? Verb::ExpectCount
                                   : Verb::ExpectValue;
        Word w = number("number");
        uint32_t v = 0;
        std::string error;
        if (!parseU32(w.key, v, error)) throw ParseFault{w.col, error};
        s.number = v;
    } else if (form == "result") {
        s.verb = Verb::ExpectResult;
        s.number = parseNumberOrName(number("result"), kResults);
    } else {
        unknownForm(formWord, "expect", forms);
    }
    FieldReader(rest, col, "expect " + form).finish();
}

const std::map<std::string, uint32_t> kSend4{
    {"add4", IPAM4_EVT_ADD}, {"del4", IPAM4_EVT_DEL}, {"batch4", IPAM4_EVT_BATCH}};
const std::map<std::string, uint32_t> kSend6{{"add6", IPAM6_EVT_ADD},
                                             {"del6", IPAM6_EVT_DEL},
                                             {"update6", IPAM6_EVT_UPDATE},
                                             {"batch6", IPAM6_EVT_BATCH}};
const std::map<std::string, uint32_t> kSendIf{{"ifvalid4", IPAM4_EVT_IF_VALID},
                                              {"ifinvalid4", IPAM4_EVT_IF_INVALID},
                                              {"ifvalid6", IPAM6_EVT_IF_VALID},
                                              {"ifinvalid6", IPAM6_EVT_IF_INVALID}};

void parseWords(const Words &words, Step &s) {
    const Word &verbWord = words[0];
    if (verbWord.hasValue)
        throw ParseFault{verbWord.col, "expected a verb, got '" + verbWord.key + "=...'"};
    const std::string &verb = verbWord.key;
    const int col = verbWord.col;
    Words rest(words.begin() + 1, words.end());

    if (verb == "query") return parseQuery(s, rest, col);
    if (verb == "mgmt") return parseMgmt(s, rest, col);
    if (verb == "conf") return parseConf(s, rest, col);
    if (verb == "expect") return parseExpect(s, rest, col);
    if (verb == "batch") {
        Word formWord = rest.empty() ? Word{} : rest[0];
        std::string form = subVerb(rest, col, "batch", "start, end");
        if (form == "start")
            s.verb = Verb::BatchStart;
        else if (form == "end")
            s.verb = Verb::BatchEnd;
        else
            unknownForm(formWord, "batch", "start, end");
        FieldReader(rest, col, "batch " + form).finish();
        return;
    }

    FieldReader f(rest, col, verb);
    if (verb == "module") {
        s.verb = Verb::Module;
        s.module = f.u32("id");
        std::optional<std::string> name = f.optText("name");
        if (!name) f.missing("name");
        s.moduleName = *name;
    } else if (verb == "subscribe" || verb == "subscribe4") {
        s.verb = verb == "subscribe" ? Verb::Subscribe : Verb::Subscribe4;
        s.handle = f.u32("handle");
        s.module = f.u32("module");
        std::optional<uint32_t> care = f.optEvents("care");
        if (!care) f.missing("care");
        s.care = *care;
    } else if (verb == "unsubscribe" || verb == "unsubscribe4") {
        s.verb = verb == "unsubscribe" ? Verb::Unsubscribe : Verb::Unsubscribe4;
        s.module = f.u32("module");
    } else if (kSend4.count(verb)) {
        s.verb = Verb::Send4;
        s.code = kSend4.at(verb);
        s.length = sizeof(Ipam4AddrInfo);
        readRecord4(f, s.rec4, true);
    } else if (verb == "relay") {
        s.verb = Verb::Send4;
        s.code = IPAM_EVT_RELAY;
        s.length = sizeof(Ipam4AddrInfo);
        readRecord4(f, s.rec4, false);
    } else if (verb == "message") {
        s.verb = Verb::Send4;
        s.code = f.u32("code");
        s.length = f.optU32("len").value_or(sizeof(Ipam4AddrInfo));
        if (s.length > sizeof(Ipam4AddrInfo))
            f.fail("len", "bad length (at most 60: the payload is an IPv4 record)");
        readRecord4(f, s.rec4, false);
    } else if (kSend6.count(verb)) {
        s.verb = Verb::Send6;
        s.code = kSend6.at(verb);
        s.length = sizeof(Ipam6AddrInfo);
        readRecord6(f, s.rec6);
    } else if (kSendIf.count(verb)) {
        s.verb = Verb::SendIf;
        s.code = kSendIf.at(verb);
        s.ifIndex = f.u32("if");
        s.length = f.optU32("len").value_or(32);
        if (s.length < 4 || s.length > 32)
            f.fail("len", "bad length (4 to 32: the interface block)");
    } else if (verb == "walk4" || verb == "walk6") {
        s.verb = verb == "walk4" ? Verb::Walk4 : Verb::Walk6;
        s.ifIndex = f.u32("if");
    } else if (verb == "show") {
        s.verb = Verb::Show;
    } else if (verb == "set4") {
        s.verb = Verb::Set4;
        std::optional<int32_t> code = f.optI32("code");
        if (!code) f.missing("code");
        s.requestCode = *code;
        readRecord4(f, s.rec4, true);
    } else if (verb == "set6" || verb == "setdest6") {
        s.verb = verb == "set6" ? Verb::Set6 : Verb::SetDest6;
        std::optional<int32_t> code = f.optI32("code");
        if (!code) f.missing("code");
        s.requestCode = *code;
        readRecord6(f, s.rec6);
    } else {
        throw ParseFault{col, "unknown verb '" + verb + "'"};
    }
    f.finish();
}

}  // namespace

bool parseStep(const std::vector<Word> &words, Step &out, ParseError &error) {
    try {
        parseWords(words, out);
        return true;
    } catch (const ParseFault &fault) {
        error.col = fault.col;
        error.message = fault.message;
        return false;
    }
}

bool parseScenario(const std::string &file, std::string_view text, Scenario &out,
                   ParseError &error) {
    out.file = file;
    out.steps.clear();
    out.warnings.clear();
    int line = 0;
    int openBatch = 0;  // the line of a batch start not yet ended
    bool anyAction = false;
    while (!text.empty()) {
        ++line;
        size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        LexResult lex = lexLine(raw);
        error.line = line;
        if (lex.errorCol) {
            error.col = lex.errorCol;
            error.message = "unterminated quoted value";
            return false;
        }
        if (lex.words.empty()) continue;
        Step step;
        step.line = line;
        step.source = lex.source;
        if (!parseStep(lex.words, step, error)) return false;
        if (isExpect(step.verb) && !anyAction) {
            error.col = lex.words[0].col;
            error.message = "expect line before any step it could check";
            return false;
        }
        anyAction = anyAction || !isExpect(step.verb);
        if (step.verb == Verb::BatchStart || step.verb == Verb::BatchEnd)
            openBatch = step.verb == Verb::BatchStart ? line : 0;
        out.steps.push_back(std::move(step));
    }
    // The run is still what the file says, but a batch left open never
    // sweeps and, when it is the first, leaves the queries refusing.
    if (openBatch != 0)
        out.warnings.emplace_back(openBatch,
                                  "the file ends inside the batch started here "
                                  "(no 'batch end')");
    return true;
}

}  // namespace sim
