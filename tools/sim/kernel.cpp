#include "kernel.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "ipam.h"
#include "ipam_platform.h"
#include "kernel_table.h"
#include "lexer.h"
#include "parser.h"
#include "printer.h"
#include "record.h"
#include "runner.h"
#include "signals.h"
#include "values.h"

namespace sim {

namespace {

// The mirror subscribes as its own host module.
constexpr uint32_t kModule = 4000;
constexpr uint32_t kCare = IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID |
                           IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID;

// Runs one step the way a scenario would and prints what it produced.
void play(Printer &printer, const Step &step) {
    printer.step(0, step.source);
    perform(step);
    for (const Item &item : Collector::instance().take()) printer.item(0, item);
}

Step sendStep(const KernelRecord &k, uint32_t code4, uint32_t code6, const char *verb) {
    Step s;
    if (k.v6) {
        s.verb = Verb::Send6;
        s.code = code6;
        s.rec6 = k.rec6;
        s.length = sizeof k.rec6;
        s.source = std::string(verb) + "6 " + recordText(Record::from6(k.rec6));
    } else {
        s.verb = Verb::Send4;
        s.code = code4;
        s.rec4 = k.rec4;
        s.length = sizeof k.rec4;
        s.source = std::string(verb) + "4 " + recordText(Record::from4(k.rec4));
    }
    return s;
}

Step simpleStep(Verb verb, const char *source) {
    Step s;
    s.verb = verb;
    s.source = source;
    return s;
}

// The kernel's whole table as one batch; from the second batch on, the
// library's sweep removes whatever the kernel no longer holds.
bool playBatch(Printer &printer, KernelTable &table, const char *why) {
    std::vector<KernelRecord> records;
    std::string error;
    if (!table.dump(records, error)) {
        std::fprintf(stderr, "ipam-sim kernel: %s\n", error.c_str());
        return false;
    }
    printer.note(
        0, std::string("# ") + why + ": " + std::to_string(records.size()) + " kernel addresses");
    play(printer, simpleStep(Verb::BatchStart, "batch start"));
    for (const KernelRecord &k : records)
        play(printer, sendStep(k, IPAM4_EVT_BATCH, IPAM6_EVT_BATCH, "batch"));
    play(printer, simpleStep(Verb::BatchEnd, "batch end"));
    Step show = simpleStep(Verb::Show, "show");
    printer.step(0, show.source);
    perform(show);
    size_t held = 0;
    for (const Item &item : Collector::instance().take()) {
        held += item.kind == Item::Record;
        printer.item(0, item);
    }
    printer.note(0, "# replica holds " + std::to_string(held) + " records");
    return true;
}

// The replica's record for the same interface, address and mask as `k`
// when its attributes differ from k's.
bool storedForm(const KernelRecord &k, KernelRecord &stored) {
    if (k.v6) {
        Ipam6AddrInfo info{};
        if (IPAM6_GetAddrInfoByIfIndexAndIfAddr(k.rec6.ifIndex, k.rec6.ip6Addr, &info) != 0 ||
            std::memcmp(info.ip6Mask, k.rec6.ip6Mask, 16) != 0 || info.ip6Attr == k.rec6.ip6Attr)
            return false;
        stored.v6 = true;
        stored.rec6 = info;
        return true;
    }
    struct Find {
        const Ipam4AddrInfo *want;
        Ipam4AddrInfo found;
        bool hit;
    } find{&k.rec4, {}, false};
    IPAM4_WalkAddrInfo(
        k.rec4.ifIndex,
        [](Ipam4AddrInfo *r, void *user) -> int32_t {
            auto *f = static_cast<Find *>(user);
            if (r->ipAddr == f->want->ipAddr && r->ipMask == f->want->ipMask &&
                r->vrfIndex == f->want->vrfIndex && r->ipAttr != f->want->ipAttr) {
                f->found = *r;
                f->hit = true;
                return 1;
            }
            return 0;
        },
        &find);
    if (!find.hit) return false;
    stored.v6 = false;
    stored.rec4 = find.found;
    return true;
}

bool parseQueries(const std::vector<std::string> &queries, std::vector<Step> &out) {
    for (const std::string &q : queries) {
        std::string text = "query " + q;
        LexResult lex = lexLine(text);
        Step s;
        ParseError error;
        bool ok = lex.errorCol == 0 && !lex.words.empty() && parseStep(lex.words, s, error);
        if (ok && (s.verb < Verb::QueryConfigured4 || s.verb > Verb::QueryCare)) {
            ok = false;
            error.message = "not a query";
        }
        if (!ok) {
            std::fprintf(stderr, "ipam-sim kernel: --query '%s': %s\n", q.c_str(),
                         lex.errorCol ? "unterminated quoted value" : error.message.c_str());
            return false;
        }
        s.source = lex.source;
        out.push_back(s);
    }
    return true;
}

int follow(Printer &printer, KernelTable &table) {
    KernelEvents events;
    std::string error;
    auto onChange = [&](bool added, rtnl_addr *addr) {
        table.refreshLinks();
        KernelRecord k;
        if (!table.convert(addr, k)) return;
        if (!added) {
            play(printer, sendStep(k, IPAM4_EVT_DEL, IPAM6_EVT_DEL, "del"));
            return;
        }
        // The kernel also announces flag changes of a known address (IPv6
        // tentative -> valid, IPv4 secondary promoted): the publisher sends
        // an IPv6 update, and an IPv4 delete of the old form before the add.
        KernelRecord stored;
        if (storedForm(k, stored)) {
            if (k.v6) {
                play(printer, sendStep(k, 0, IPAM6_EVT_UPDATE, "update"));
                return;
            }
            play(printer, sendStep(stored, IPAM4_EVT_DEL, 0, "del"));
        }
        play(printer, sendStep(k, IPAM4_EVT_ADD, IPAM6_EVT_ADD, "add"));
    };
    // A link going down or up is the publisher's interface message for both
    // families: the library flips IF_VALID|VALID of the interface's records.
    std::map<int, bool> linkUp = table.linkStates();
    auto onLink = [&](int ifIndex, bool up, bool gone) {
        auto known = linkUp.find(ifIndex);
        if (gone) {
            linkUp.erase(ifIndex);
            return;
        }
        bool was = known != linkUp.end() && known->second;
        linkUp[ifIndex] = up;
        if (known == linkUp.end() || was == up) return;
        for (bool v6 : {false, true}) {
            Step s;
            s.verb = Verb::SendIf;
            s.ifIndex = static_cast<uint32_t>(ifIndex);
            s.length = 32;
            s.code = up ? (v6 ? IPAM6_EVT_IF_VALID : IPAM4_EVT_IF_VALID)
                        : (v6 ? IPAM6_EVT_IF_INVALID : IPAM4_EVT_IF_INVALID);
            s.source = std::string(up ? "ifvalid" : "ifinvalid") + (v6 ? "6" : "4") +
                       " if=" + std::to_string(ifIndex);
            play(printer, s);
        }
    };
    const int signals =
        events.open(onChange, onLink, error) ? signalPipe({SIGHUP, SIGINT, SIGTERM}) : -1;
    if (signals < 0) {
        std::fprintf(stderr, "ipam-sim kernel: %s\n",
                     error.empty() ? std::strerror(errno) : error.c_str());
        return 1;
    }
    printer.note(0, "# following kernel address changes (SIGHUP resynchronises, SIGINT stops)");
    pollfd fds[2] = {{events.fd(), POLLIN, 0}, {signals, POLLIN, 0}};
    while (true) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("ipam-sim kernel: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) events.receive();
        if (fds[1].revents & POLLIN) {
            unsigned char sig = 0;
            if (read(signals, &sig, 1) == 1) {
                if (sig != SIGHUP) return 0;
                if (!playBatch(printer, table, "resync")) return 1;
            }
        }
    }
}

}  // namespace

int runKernel(const KernelOptions &options) {
    std::vector<Step> queries;
    if (!parseQueries(options.queries, queries)) return 2;
    KernelTable table;
    std::string error;
    if (!table.open(error)) {
        std::fprintf(stderr, "ipam-sim kernel: %s\n", error.c_str());
        return 1;
    }
    setUpPlatform(options.debug);
    Printer printer(stdout, options.json);
    ipamplat_module_register(kModule, "ipam-sim");
    Collector::instance().take();
    Step sub;
    sub.verb = Verb::Subscribe;
    sub.handle = 1;
    sub.module = kModule;
    sub.care = kCare;
    sub.source = "subscribe handle=1 module=4000 care=" + eventsText(kCare);
    play(printer, sub);
    int status = playBatch(printer, table, "kernel dump") ? 0 : 1;
    for (const Step &q : queries) play(printer, q);
    if (status == 0 && options.follow) status = follow(printer, table);
    Step unsub;
    unsub.verb = Verb::Unsubscribe;
    unsub.module = kModule;
    unsub.source = "unsubscribe module=4000";
    play(printer, unsub);
    return status;
}

}  // namespace sim
