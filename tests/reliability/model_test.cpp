// Model-based random test: seeded random publisher streams are played to the
// library through the stand-in platform and to the model of model.h; after
// every step the host's events, the queries, the public walks, the interface
// count and a full management export must match the model, and export pages
// taken across steps must resume where the model says.
//
// IPAM_MODEL_SEED=n reruns one seed; IPAM_MODEL_SEEDS=k runs seeds 1..k;
// IPAM_MODEL_STEPS=n sets the steps per seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>
#include <sstream>

#include "harness.h"
#include "model.h"
#include "universe.h"

namespace rel {
namespace {

#if defined(IPAM_REL_TSAN)
constexpr uint64_t kDefaultSteps = 120;
constexpr uint64_t kDefaultSeeds = 3;
#elif defined(IPAM_REL_SHORT)
constexpr uint64_t kDefaultSteps = 200;
constexpr uint64_t kDefaultSeeds = 5;
#else
constexpr uint64_t kDefaultSteps = 300;
constexpr uint64_t kDefaultSeeds = 10;
#endif

constexpr uint32_t kHandle = 0x5151;
constexpr uint32_t kModule = 77;

// Care masks with and without the validity bits of each family.
const std::vector<uint32_t> kMasks{
    0xccd8,                    // everything; identity includes both attributes
    0x00d8,                    // adds and deletes only; attributes never count
    0x00d8 | IPAM6_EVT_UPDATE | IPAM_EVT_RELAY,
    0x4400,                    // validity only: no batch start/end events
    0x0400,
    0x0018 | 0xc000,           // IPv6 identity includes its attribute, IPv4's not
    0x0c00 | 0x00c0,           // the other way round
    0x0000,                    // no events at all
    0x1ffff | IPAM_EVT_RELAY,
};

struct Action {
    enum Kind { Subscribe, Unsubscribe, Start, Send, End } kind;
    uint32_t code = 0;
    std::vector<uint8_t> payload;
    uint32_t mask = 0;
    std::string text() const {
        std::ostringstream s;
        switch (kind) {
        case Subscribe: s << "subscribe mask 0x" << std::hex << mask; break;
        case Unsubscribe: s << "unsubscribe"; break;
        case Start: s << "start"; break;
        case End: s << "end"; break;
        case Send: {
            Event e{code, payload};
            if (payload.size() == 4) {
                uint32_t i;
                std::memcpy(&i, payload.data(), 4);
                s << "send " << std::hex << "0x" << code << std::dec << " if " << i;
            } else {
                s << "send " << describe(e);
            }
            break;
        }
        }
        return s.str();
    }
};

template <class Info>
Action sendOf(uint32_t code, const Info &r) {
    return Action{Action::Send, code, bytesOf(r), 0};
}

class Driver {
public:
    explicit Driver(uint64_t seed) : rng_(seed) {}

    ~Driver() {
        if (model_.subscribed) IPAM_UnSubscribeEvent(kModule);
        EventLog::take();
    }

    // Runs `steps` steps; an empty string when everything matched.
    std::string run(uint64_t steps) {
        for (uint64_t i = 0; i < steps; i++) {
            Action a = next();
            history_.push_back(a.text());
            if (history_.size() > 12) history_.pop_front();
            std::string err = apply(a);
            if (err.empty()) err = check();
            if (err.empty() && model_.subscribed && rng_.chance(30)) err = pageStep();
            if (!err.empty()) {
                std::ostringstream s;
                s << "step " << i << ": " << err << "\nlast actions:";
                for (const auto &h : history_) s << "\n  " << h;
                s << "\nmodel (care 0x" << std::hex << model_.care << std::dec << ", batch " << model_.ver << "):";
                for (const auto &[q, n] : model_.v4) s << "\n  #" << q << " ver " << n.ver << " " << describe(n.info);
                for (const auto &[q, n] : model_.v6) s << "\n  #" << q << " ver " << n.ver << " " << describe(n.info);
                return s.str();
            }
        }
        return {};
    }

    uint64_t ops() const { return ops_; }

private:
    Model model_;
    Rng rng_;
    Universe u_;
    std::deque<Action> batch_;
    bool inBatch_ = false;
    std::deque<std::string> history_;
    std::optional<Ipam4AddrInfo> cur4_;
    std::optional<Ipam6AddrInfo> cur6_;
    uint64_t ops_ = 0;

    // ---- the stream
    Action next() {
        if (!model_.subscribed) return Action{Action::Subscribe, 0, {}, rng_.pick(kMasks)};
        if (inBatch_) {
            if (rng_.chance(4)) {  // the publisher restarts its dump
                planBatch();
                return Action{Action::Start, 0, {}, 0};
            }
            if (!batch_.empty() && rng_.chance(88)) {
                Action a = batch_.front();
                batch_.pop_front();
                return a;
            }
            if (batch_.empty() && rng_.chance(85)) {
                inBatch_ = false;
                return Action{Action::End, 0, {}, 0};
            }
            return single();
        }
        uint32_t r = rng_.below(100);
        if (r < 12) {
            planBatch();
            inBatch_ = true;
            return Action{Action::Start, 0, {}, 0};
        }
        if (r < 14) return Action{Action::Unsubscribe, 0, {}, 0};
        if (r < 16) return Action{Action::End, 0, {}, 0};  // an end without a start
        return single();
    }

    template <class F>
    std::optional<typename F::Info> stored() {
        const auto &m = model_.nodes<F>();
        if (m.empty()) return std::nullopt;
        auto it = m.begin();
        std::advance(it, rng_.below(static_cast<uint32_t>(m.size())));
        return it->second.info;
    }

    Action single() {
        uint32_t r = rng_.below(100);
        if (r < 16) return sendOf(IPAM4_EVT_ADD, fresh4());
        if (r < 26) {
            Ipam4AddrInfo d = stored<F4>().value_or(u_.rand4(rng_));
            if (rng_.chance(40)) d.ipAttr = rng_.pick(u_.attr4);  // removal ignores the attribute
            return sendOf(IPAM4_EVT_DEL, d);
        }
        if (r < 42) return sendOf(IPAM6_EVT_ADD, fresh6());
        if (r < 52) {
            Ipam6AddrInfo d = stored<F6>().value_or(u_.rand6(rng_));
            if (rng_.chance(40)) d.ip6Attr = rng_.pick(u_.attr6);
            return sendOf(IPAM6_EVT_DEL, d);
        }
        if (r < 64) {
            Ipam6AddrInfo d = stored<F6>().value_or(u_.rand6(rng_));
            if (rng_.chance(70)) d.ip6Attr = rng_.pick(u_.attr6);
            if (rng_.chance(20)) d = u_.mutate(rng_, d);
            return sendOf(IPAM6_EVT_UPDATE, d);
        }
        if (r < 90) {
            static const uint32_t codes[] = {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID, IPAM6_EVT_IF_VALID,
                                             IPAM6_EVT_IF_INVALID};
            uint32_t ifIndex = rng_.chance(90) ? rng_.pick(u_.ifIndexes) : 9;
            Action a{Action::Send, codes[rng_.below(4)], std::vector<uint8_t>(4), 0};
            std::memcpy(a.payload.data(), &ifIndex, 4);
            return a;
        }
        if (r < 95) return Action{Action::Send, IPAM_EVT_RELAY, std::vector<uint8_t>(60, 0x11), 0};
        static const uint32_t unknown[] = {0x3, IPAM4_EVT_VALID, IPAM_EVT_BATCH_START, 0x20000};
        return Action{Action::Send, unknown[rng_.below(4)], std::vector<uint8_t>(60, 0x22), 0};
    }

    Ipam4AddrInfo fresh4() {
        auto s = stored<F4>();
        if (s && rng_.chance(35)) return rng_.chance(50) ? *s : u_.mutate(rng_, *s);
        return u_.rand4(rng_);
    }
    Ipam6AddrInfo fresh6() {
        auto s = stored<F6>();
        if (s && rng_.chance(35)) return rng_.chance(50) ? *s : u_.mutate(rng_, *s);
        return u_.rand6(rng_);
    }

    // A whole dump: most stored records again, some changed, some dropped,
    // a few new ones, the odd duplicate, in shuffled order.
    void planBatch() {
        std::vector<Action> b;
        for (const auto &[s, n] : model_.v4) {
            if (rng_.chance(22)) continue;
            b.push_back(sendOf(IPAM4_EVT_BATCH, rng_.chance(12) ? u_.mutate(rng_, n.info) : n.info));
        }
        for (const auto &[s, n] : model_.v6) {
            if (rng_.chance(22)) continue;
            b.push_back(sendOf(IPAM6_EVT_BATCH, rng_.chance(12) ? u_.mutate(rng_, n.info) : n.info));
        }
        for (uint32_t i = rng_.below(4); i > 0; i--) b.push_back(sendOf(IPAM4_EVT_BATCH, u_.rand4(rng_)));
        for (uint32_t i = rng_.below(4); i > 0; i--) b.push_back(sendOf(IPAM6_EVT_BATCH, u_.rand6(rng_)));
        if (!b.empty() && rng_.chance(15)) b.push_back(b[rng_.below(static_cast<uint32_t>(b.size()))]);
        for (size_t i = b.size(); i > 1; i--) std::swap(b[i - 1], b[rng_.below(static_cast<uint32_t>(i))]);
        batch_.assign(b.begin(), b.end());
    }

    // ---- playing it to both
    std::string apply(const Action &a) {
        ops_++;
        std::ostringstream err;
        switch (a.kind) {
        case Action::Subscribe: {
            int32_t r = IPAM_SubscribeEvent(kHandle, kModule, a.mask, EventLog::callback);
            model_.subscribe(a.mask);
            inBatch_ = false;
            batch_.clear();
            cur4_.reset();
            cur6_.reset();
            if (r != 0) err << "subscribe answered " << r;
            break;
        }
        case Action::Unsubscribe: {
            int32_t r = IPAM_UnSubscribeEvent(kModule);
            model_.unsubscribe();
            inBatch_ = false;
            batch_.clear();
            if (r != 0) err << "unsubscribe answered " << r;
            break;
        }
        case Action::Start: {
            int32_t r = ipamplat_pub_start();
            model_.start();
            if (r != 0) err << "start answered " << r;
            break;
        }
        case Action::End: {
            int32_t r = ipamplat_pub_end();
            int32_t want = model_.end();
            if (r != want) err << "end answered " << r << ", want " << want;
            break;
        }
        case Action::Send: {
            int32_t r = ipamplat_pub_send(static_cast<int32_t>(a.code), static_cast<uint32_t>(a.payload.size()),
                                          a.payload.data());
            int32_t want = model_.dispatch(a.code, a.payload.data());
            if (r != want) err << "dispatch answered " << r << ", want " << want;
            break;
        }
        }
        return err.str();
    }

    // ---- comparing
    std::string check() {
        std::ostringstream err;
        checkEvents(err);
        if (ipamSubGetCareEvt() != model_.care)
            err << "care mask 0x" << std::hex << ipamSubGetCareEvt() << ", want 0x" << model_.care << std::dec << "\n";
        if ((ipam_IsSubscrib() != 0) != model_.flag) err << "ipam_IsSubscrib " << ipam_IsSubscrib() << "\n";
        uint32_t count = 12345;
        ipam_AddrInfoNumGet(&count);
        if (count != model_.ifs.size()) err << "interface count " << count << ", want " << model_.ifs.size() << "\n";
        checkQueries(err);
        checkWalks(err);
        checkExport(err);
        return err.str();
    }

    void checkEvents(std::ostringstream &err) {
        std::vector<Event> got = EventLog::take();
        std::vector<Event> want;
        want.swap(model_.events);
        if (got == want) return;
        err << "events differ (got " << got.size() << ", want " << want.size() << ")\n";
        for (size_t i = 0; i < std::max(got.size(), want.size()); i++) {
            std::string g = i < got.size() ? describe(got[i]) : "-";
            std::string w = i < want.size() ? describe(want[i]) : "-";
            err << (g == w && i < got.size() && i < want.size() && got[i] == want[i] ? "   " : " ! ") << "got  " << g
                << "\n     want " << w << "\n";
        }
    }

    template <class Info>
    static void poison(Info *i) { std::memset(i, 0xcd, sizeof *i); }
    template <class Info>
    static bool poisoned(const Info &i) {
        Info p;
        poison(&p);
        return sameBytes(i, p);
    }

    // A lookup's answer against the model's: result and, on success, the
    // record; on failure the caller's record must be untouched.
    template <class Info>
    void expect(std::ostringstream &err, const char *what, uint32_t arg, int32_t got, const Info &out,
                int32_t want, const std::optional<Info> &rec) {
        if (!model_.flag) want = IPAM_ERR_NOT_SUBSCRIBED;
        if (got != want) {
            err << what << "(" << arg << ") answered " << got << ", want " << want << "\n";
        } else if (got == 0 && rec && !sameBytes(out, *rec)) {
            err << what << "(" << arg << ") gave " << describe(out) << ", want " << describe(*rec) << "\n";
        } else if (got != 0 && !poisoned(out)) {
            err << what << "(" << arg << ") wrote its output on failure\n";
        }
    }

    void checkQueries(std::ostringstream &err) {
        std::vector<uint32_t> ifs = u_.ifIndexes;
        ifs.push_back(9);
        for (uint32_t i : ifs) {
            int32_t c = IPAM4_IsIpAddrConfigured(i);
            int32_t wantC = model_.flag && !model_.list<F4>(i).empty();
            if (c != wantC) err << "IPAM4_IsIpAddrConfigured(" << i << ") " << c << "\n";

            Ipam4AddrInfo o4;
            poison(&o4);
            auto p = model_.primary4(i);
            expect(err, "IPAM4_GetAddrInfoByIfIndex", i, IPAM4_GetAddrInfoByIfIndex(i, &o4), o4,
                   p ? 0 : IPAM_ERR_NOT_FOUND, p);

            Ipam6AddrInfo o6;
            poison(&o6);
            auto s = model_.source6(i, nullptr);
            expect(err, "IPAM6_GetAddrInfoByIfIndex", i, IPAM6_GetAddrInfoByIfIndex(i, &o6), o6,
                   s ? 0 : IPAM_ERR_NOT_FOUND, s);
            for (const auto &d : u_.addr6) {
                poison(&o6);
                s = model_.source6(i, d.data());
                expect(err, "IPAM6_GetAddrInfoByIfIndexAndAddr", i, IPAM6_GetAddrInfoByIfIndexAndAddr(i, d.data(), &o6),
                       o6, s ? 0 : IPAM_ERR_NOT_FOUND, s);
                poison(&o6);
                std::optional<Ipam6AddrInfo> exact;
                for (const auto &r : model_.list<F6>(i))
                    if (std::memcmp(r.ip6Addr, d.data(), 16) == 0) { exact = r; break; }
                expect(err, "IPAM6_GetAddrInfoByIfIndexAndIfAddr", i,
                       IPAM6_GetAddrInfoByIfIndexAndIfAddr(i, d.data(), &o6), o6, exact ? 0 : IPAM_ERR_NOT_FOUND,
                       exact);
            }
        }
        std::vector<std::string> names{"nope"};
        for (uint32_t i : u_.ifIndexes)
            for (const auto &n : u_.names(i))
                if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        for (const auto &n : names) {
            auto idx = model_.ifByName(n.c_str());
            Ipam4AddrInfo o4;
            poison(&o4);
            auto p = idx ? model_.primary4(*idx) : std::nullopt;
            expect(err, ("IPAM4_GetAddrInfoByIfName " + n).c_str(), 0, IPAM4_GetAddrInfoByIfName(n.c_str(), &o4), o4,
                   p ? 0 : IPAM_ERR_NOT_FOUND, p);
            Ipam6AddrInfo o6;
            poison(&o6);
            auto s = model_.source6(idx, nullptr);
            expect(err, ("IPAM6_GetAddrInfoByIfName " + n).c_str(), 0, IPAM6_GetAddrInfoByIfName(n.c_str(), &o6), o6,
                   s ? 0 : IPAM_ERR_NOT_FOUND, s);
        }
        for (uint32_t vrf : {0u, 7u, 8u}) {
            for (uint32_t a : u_.addr4) {
                Ipam4AddrInfo o4, w4;
                poison(&o4);
                int32_t want = model_.byKey4(vrf, a, &w4);
                expect(err, "IPAM4_GetAddrInfo", vrf, IPAM4_GetAddrInfo(vrf, a, &o4), o4, want,
                       want == 0 ? std::optional<Ipam4AddrInfo>(w4) : std::nullopt);
            }
            for (const auto &a : u_.addr6) {
                Ipam6AddrInfo o6;
                poison(&o6);
                auto w = model_.byKey6(vrf, a.data());
                expect(err, "IPAM6_GetAddrInfo", vrf, IPAM6_GetAddrInfo(vrf, a.data(), &o6), o6,
                       w ? 0 : IPAM_ERR_NOT_FOUND, w);
            }
        }
    }

    void checkWalks(std::ostringstream &err) {
        std::vector<uint32_t> ifs = u_.ifIndexes;
        ifs.push_back(9);
        for (uint32_t i : ifs) {
            int32_t want = model_.hasIf(i) ? 0 : IPAM_ERR_NOT_FOUND;
            std::vector<Ipam4AddrInfo> w4;
            int32_t r = walk4(i, &w4);
            if (r != want || !sameBytes(w4, model_.list<F4>(i)))
                err << "IPAM4_WalkAddrInfo(" << i << ") answered " << r << " with " << w4.size() << " records, want "
                    << want << " with " << model_.list<F4>(i).size() << "\n";
            std::vector<Ipam6AddrInfo> w6;
            r = walk6(i, &w6);
            if (r != want || !sameBytes(w6, model_.list<F6>(i)))
                err << "IPAM6_WalkAddrInfo(" << i << ") answered " << r << " with " << w6.size() << " records, want "
                    << want << " with " << model_.list<F6>(i).size() << "\n";
        }
    }

    template <class F, class Info>
    void compareExport(std::ostringstream &err, const char *what, int32_t r, const std::vector<Info> &got) {
        if (!model_.subscribed) {
            if (r != IPAMPLAT_NO_PEER) err << what << " answered " << r << " while unsubscribed\n";
            return;
        }
        auto want = model_.indexOrder<F>();
        if (r != IPAM_CMF_END || !sameBytes(got, want)) {
            err << what << " answered " << r << " with " << got.size() << " records, want 13 with " << want.size()
                << "\n";
            for (size_t i = 0; i < std::max(got.size(), want.size()); i++)
                err << "   got  " << (i < got.size() ? describe(got[i]) : "-") << "\n   want "
                    << (i < want.size() ? describe(want[i]) : "-") << "\n";
        }
    }

    void checkExport(std::ostringstream &err) {
        std::vector<Ipam4AddrInfo> e4;
        compareExport<F4>(err, "IPv4 export", export4(nullptr, -1, &e4), e4);
        std::vector<Ipam6AddrInfo> e6;
        compareExport<F6>(err, "IPv6 export", export6(nullptr, -1, &e6), e6);
    }

    // One page of a paged export that runs across steps, so that its cursor
    // may meanwhile have been removed or changed.
    template <class F, class Info>
    std::string pageOf(std::optional<Info> &cur, int32_t (*fn)(const Info *, int32_t, std::vector<Info> *)) {
        int32_t limit = static_cast<int32_t>(1 + rng_.below(4));
        bool end = false;
        auto want = model_.page<F>(cur ? &*cur : nullptr, limit, &end);
        std::vector<Info> got;
        int32_t r = fn(cur ? &*cur : nullptr, limit, &got);
        int32_t wantR = end ? IPAM_CMF_END : 0;
        std::ostringstream err;
        if (r != wantR || !sameBytes(got, want)) {
            err << "export page of " << limit << " behind " << (cur ? describe(*cur) : "nothing") << " answered "
                << r << " with " << got.size() << " records, want " << wantR << " with " << want.size() << "\n";
            for (size_t i = 0; i < std::max(got.size(), want.size()); i++)
                err << "   got  " << (i < got.size() ? describe(got[i]) : "-") << "\n   want "
                    << (i < want.size() ? describe(want[i]) : "-") << "\n";
        }
        if (end) cur.reset();
        else if (!got.empty()) cur = got.back();
        return err.str();
    }

    std::string pageStep() {
        return rng_.chance(50) ? pageOf<F4>(cur4_, export4) : pageOf<F6>(cur6_, export6);
    }
};

std::vector<uint64_t> seeds() {
    if (uint64_t one = envNumber("IPAM_MODEL_SEED", 0)) return {one};
    std::vector<uint64_t> s;
    for (uint64_t i = 1; i <= envNumber("IPAM_MODEL_SEEDS", kDefaultSeeds); i++) s.push_back(i);
    return s;
}

TEST(ModelTest, RandomStreamsMatchTheModel) {
    uint64_t steps = envNumber("IPAM_MODEL_STEPS", kDefaultSteps);
    uint64_t total = 0;
    for (uint64_t seed : seeds()) {
        Driver d(seed);
        std::string err = d.run(steps);
        total += d.ops();
        if (!err.empty()) {
            ADD_FAILURE() << "seed " << seed << " (rerun: IPAM_MODEL_SEED=" << seed << ")\n" << err;
            return;
        }
    }
    std::printf("model: %llu seeds x %llu steps, %llu operations, all matched\n",
                static_cast<unsigned long long>(seeds().size()), static_cast<unsigned long long>(steps),
                static_cast<unsigned long long>(total));
}

}  // namespace
}  // namespace rel
