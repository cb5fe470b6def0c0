// One action step: the library or platform call it stands for, and the
// results, records and notes it adds to what the host saw.
#include <cstring>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "runner.h"
#include "values.h"

namespace sim {

namespace {

Collector &out() { return Collector::instance(); }

std::string queryResultName(int64_t r) {
    switch (r) {
    case IPAM_ERR_NOT_SUBSCRIBED:
        return "IPAM_ERR_NOT_SUBSCRIBED";
    case IPAM_ERR_NOT_FOUND:
        return "IPAM_ERR_NOT_FOUND";
    case IPAM_ERR_PARAM:
        return "IPAM_ERR_PARAM";
    case IPAM_WALK_END:
        return "IPAM_WALK_END";
    case IPAMPLAT_NO_PEER:
        return "NO_PEER";
    default:
        return "";
    }
}

std::string mgmtResultName(int64_t r) {
    switch (r) {
    case IPAM_CMF_ERR_PARAM:
        return "IPAM_CMF_ERR_PARAM";
    case IPAM_CMF_ERR_PARAM_ID:
        return "IPAM_CMF_ERR_PARAM_ID";
    case IPAM_CMF_END:
        return "IPAM_CMF_END";
    case IPAMPLAT_NO_PEER:
        return "NO_PEER";
    default:
        return "";
    }
}

void result(int64_t r, std::string label) {
    Item item;
    item.kind = Item::Result;
    item.number = r;
    item.label = std::move(label);
    out().add(std::move(item));
}

void result(int64_t r) { result(r, queryResultName(r)); }

void record(const Record &r, std::string label = "") {
    Item item;
    item.kind = Item::Record;
    item.record = r;
    item.label = std::move(label);
    out().add(std::move(item));
}

void note(std::string text) {
    Item item;
    item.kind = Item::Note;
    item.label = std::move(text);
    out().add(std::move(item));
}

void value(uint32_t v, std::string label) {
    Item item;
    item.kind = Item::Value;
    item.number = v;
    item.label = std::move(label);
    out().add(std::move(item));
}

// Record callbacks of the public walks and node callbacks of the replica
// dump: each visited record is shown as it is handed over.
int32_t walk4Cb(Ipam4AddrInfo *info, void *) {
    record(Record::from4(*info));
    return 0;
}
int32_t walk6Cb(Ipam6AddrInfo *info, void *) {
    record(Record::from6(*info));
    return 0;
}
int32_t node4Cb(Ipam4DbNode *node, void *) {
    Record r = Record::from4(node->info);
    r.batchVer = node->batchVer;
    record(r);
    return 0;
}
int32_t node6Cb(Ipam6DbNode *node, void *) {
    Record r = Record::from6(node->info);
    r.batchVer = node->batchVer;
    record(r);
    return 0;
}

void mgmtDebug(const Step &s) {
    std::vector<uint8_t> data(s.length, 0);
    ipamplat_cmf_param param{s.param, static_cast<int32_t>(s.length),
                             data.empty() ? nullptr : data.data()};
    ipamplat_cmf_request req{IPAM_CMF_OBJ_DEBUG, s.mgmtOp, 1, &param, -1, 0};
    ipamplat_cmf_reply *reply = nullptr;
    int32_t r = ipamplat_cmf_send(&req, &reply);
    uint32_t n = ipamplat_cmf_reply_count(reply);
    for (uint32_t i = 0; i < n; ++i) {
        int32_t id = 0, len = 0;
        const void *p = nullptr;
        if (ipamplat_cmf_reply_param(reply, i, &id, &len, &p) != 0) continue;
        if (len == 4 && p) {
            uint32_t word = 0;
            std::memcpy(&word, p, 4);  // the flag word travels in host byte order
            value(word, debugNames(word));
        } else {
            note("param id=" + std::to_string(id) + " len=" + std::to_string(len));
        }
    }
    ipamplat_cmf_reply_free(reply);
    result(r, mgmtResultName(r));
}

// Table export, page by page; with `follow` the last record received is
// sent back as the cursor until a page ends the table or fails.
void mgmtExport(const Step &s) {
    const bool v6 = s.code == IPAM_CMF_OBJ_ADDR6_TABLE;
    const int32_t recSize = v6 ? sizeof(Ipam6AddrInfo) : sizeof(Ipam4AddrInfo);
    std::vector<uint8_t> cursor;
    for (int page = 1; page <= 100000; ++page) {
        ipamplat_cmf_param param{0, static_cast<int32_t>(cursor.size()),
                                 cursor.empty() ? nullptr : cursor.data()};
        ipamplat_cmf_request req{s.code, IPAM_CMF_OP_GET, 1, &param, s.page, 4};
        if (s.follow || page > 1) note("page " + std::to_string(page));
        ipamplat_cmf_reply *reply = nullptr;
        int32_t r = ipamplat_cmf_send(&req, &reply);
        uint32_t n = ipamplat_cmf_reply_count(reply);
        for (uint32_t i = 0; i < n; ++i) {
            int32_t id = 0, len = 0;
            const void *p = nullptr;
            if (ipamplat_cmf_reply_param(reply, i, &id, &len, &p) != 0 || !p || len != recSize) {
                note("param id=" + std::to_string(id) + " len=" + std::to_string(len));
                continue;
            }
            cursor.assign(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + len);
            if (v6) {
                Ipam6AddrInfo info;
                std::memcpy(&info, p, sizeof info);
                record(Record::from6(info));
            } else {
                Ipam4AddrInfo info;
                std::memcpy(&info, p, sizeof info);
                record(Record::from4(info));
            }
        }
        ipamplat_cmf_reply_free(reply);
        result(r, mgmtResultName(r));
        if (!s.follow || r != 0 || n == 0) return;
    }
}

// Set-address request: the bodies the channel carried, then the result.
template <typename Req, typename Fn>
void setAddr(const Step &s, Fn fn) {
    Req req{};
    req.requestCode = s.requestCode;
    if constexpr (sizeof(Req) == sizeof(Ipam4ConfReq))
        std::memcpy(reinterpret_cast<uint8_t *>(&req) + 4, &s.rec4, sizeof s.rec4);
    else
        std::memcpy(reinterpret_cast<uint8_t *>(&req) + 4, &s.rec6, sizeof s.rec6);
    uint32_t before = ipamplat_scs_sent_count();
    int32_t r = fn(&req);
    uint32_t after = ipamplat_scs_sent_count();
    for (uint32_t i = before; i < after; ++i) {
        uint8_t body[512] = {};
        uint32_t type = 0;
        int32_t len = ipamplat_scs_sent(i, &type, body, sizeof body);
        if (len == static_cast<int32_t>(sizeof(Ipam4ConfReq)) ||
            len == static_cast<int32_t>(sizeof(Ipam6ConfReq))) {
            int32_t code = 0;
            std::memcpy(&code, body, 4);
            Record rec;
            if (len == static_cast<int32_t>(sizeof(Ipam4ConfReq))) {
                Ipam4AddrInfo info;
                std::memcpy(&info, body + 4, sizeof info);
                rec = Record::from4(info);
            } else {
                Ipam6AddrInfo info;
                std::memcpy(&info, body + 4, sizeof info);
                rec = Record::from6(info);
            }
            rec.requestCode = code;
            record(rec, "sent");
        } else {
            note("sent type=" + std::to_string(type) + " len=" + std::to_string(len));
        }
    }
    result(r);
}

}  // namespace

void setUpPlatform(bool debug) {
    ipamplat_log_set_stderr(0);
    ipamplat_log_set_sink(&Collector::logSink, nullptr);
    if (debug) gIpamPubDbg = IPAM_DBG_ALL;
}

void perform(const Step &s) {
    switch (s.verb) {
    case Verb::Module:
        result(ipamplat_module_register(s.module, s.moduleName.c_str()));
        break;
    case Verb::Subscribe:
    case Verb::Subscribe4: {
        auto fn = s.verb == Verb::Subscribe ? IPAM_SubscribeEvent : IPAM4_SubscribeEvent;
        result(fn(s.handle, s.module, s.care, &Collector::eventCallback));
        break;
    }
    case Verb::Unsubscribe:
        result(IPAM_UnSubscribeEvent(s.module));
        break;
    case Verb::Unsubscribe4:
        result(IPAM4_UnSubscribeEvent(s.module));
        break;
    case Verb::BatchStart:
        result(ipamplat_pub_start());
        break;
    case Verb::BatchEnd:
        result(ipamplat_pub_end());
        break;
    case Verb::Send4:
        result(ipamplat_pub_send(static_cast<int32_t>(s.code), s.length, &s.rec4));
        break;
    case Verb::Send6:
        result(ipamplat_pub_send(static_cast<int32_t>(s.code), s.length, &s.rec6));
        break;
    case Verb::SendIf: {
        uint8_t block[32] = {};
        std::memcpy(block, &s.ifIndex, 4);  // host byte order, as the publisher sends it
        result(ipamplat_pub_send(static_cast<int32_t>(s.code), s.length, block));
        break;
    }
    case Verb::QueryConfigured4: {
        int32_t r = IPAM4_IsIpAddrConfigured(s.ifIndex);
        result(r, r == 1 ? "configured" : "not configured");
        break;
    }
    case Verb::QueryPrimary4:
    case Verb::QueryAddr4: {
        Ipam4AddrInfo info{};
        int32_t r;
        if (s.verb == Verb::QueryAddr4) {
            uint32_t ip = 0;
            std::memcpy(&ip, s.addr, 4);
            r = IPAM4_GetAddrInfo(s.vrfIndex, ip, &info);
        } else {
            r = s.byName ? IPAM4_GetAddrInfoByIfName(s.ifName.c_str(), &info)
                         : IPAM4_GetAddrInfoByIfIndex(s.ifIndex, &info);
        }
        if (r == 0) record(Record::from4(info));
        result(r);
        break;
    }
    case Verb::QuerySrc6:
    case Verb::QueryIfAddr6:
    case Verb::QueryAddr6: {
        Ipam6AddrInfo info{};
        int32_t r;
        const uint8_t *a = s.hasAddr ? s.addr : nullptr;
        if (s.verb == Verb::QueryAddr6)
            r = IPAM6_GetAddrInfo(s.vrfIndex, a, &info);
        else if (s.verb == Verb::QueryIfAddr6)
            r = IPAM6_GetAddrInfoByIfIndexAndIfAddr(s.ifIndex, a, &info);
        else if (s.byName)
            r = a ? IPAM6_GetAddrInfoByIfNameAndAddr(s.ifName.c_str(), a, &info)
                  : IPAM6_GetAddrInfoByIfName(s.ifName.c_str(), &info);
        else
            r = a ? IPAM6_GetAddrInfoByIfIndexAndAddr(s.ifIndex, a, &info)
                  : IPAM6_GetAddrInfoByIfIndex(s.ifIndex, &info);
        if (r == 0) record(Record::from6(info));
        result(r);
        break;
    }
    case Verb::QuerySubscribed:
        result(ipam_IsSubscrib(), "");
        break;
    case Verb::QueryCare: {
        uint32_t care = ipamSubGetCareEvt();
        value(care, eventsText(care));
        break;
    }
    case Verb::Walk4:
        result(IPAM4_WalkAddrInfo(s.ifIndex, walk4Cb, nullptr));
        break;
    case Verb::Walk6:
        result(IPAM6_WalkAddrInfo(s.ifIndex, walk6Cb, nullptr));
        break;
    case Verb::Show:
        ipam_DbAddrWalk(nullptr, node4Cb, nullptr, nullptr);
        ipam6_DbAddrWalk(nullptr, node6Cb, nullptr, nullptr);
        break;
    case Verb::MgmtDebug:
        mgmtDebug(s);
        break;
    case Verb::MgmtExport:
        mgmtExport(s);
        break;
    case Verb::ConfInit:
        Collector::setConfAnswer(s.answer);
        result(IPAM_InitConf(s.hostValue1, s.hostValue2, &Collector::confCallback));
        break;
    case Verb::ConfFini:
        result(IPAM_FiniConf());
        break;
    case Verb::ConfReply:
        ipamplat_scs_set_script(&s.script);
        break;
    case Verb::ConfCall:
        result(ipamplat_scs_call_sync(s.args[0], s.args[1], s.args[2], s.args[3]));
        break;
    case Verb::Set4:
        setAddr<Ipam4ConfReq>(s, IPAM4_SetIpAddr);
        break;
    case Verb::Set6:
        setAddr<Ipam6ConfReq>(s, IPAM6_SetIpAddr);
        break;
    case Verb::SetDest6:
        setAddr<Ipam6ConfReq>(s, IPAM6_SetDestIpAddr);
        break;
    default:
        break;  // expectations are checked by the runner
    }
}

}  // namespace sim
