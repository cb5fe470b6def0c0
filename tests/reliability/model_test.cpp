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
#include <string>

#include "harness.h"
#include "model.h"

namespace rel {
namespace {

#if defined(IPAM_REL_TSAN)
constexpr uint64_t kDefaultSteps = 120, kDefaultSeeds = 3;
#elif defined(IPAM_REL_SHORT)
constexpr uint64_t kDefaultSteps = 200, kDefaultSeeds = 5;
#else
constexpr uint64_t kDefaultSteps = 300, kDefaultSeeds = 10;
#endif

constexpr uint32_t kModule = 77;

// Care masks with and without the validity bits of each family.
const std::vector<uint32_t> kMasks{
    0xccd8,  // everything; identity includes both attributes
    0x00d8,  // adds and deletes only; attributes never count
    0x00d8 | IPAM6_EVT_UPDATE | IPAM_EVT_RELAY,
    0x4400,  // validity only: no batch start/end events
    0x0400,
    0x0018 | 0xc000,  // IPv6 identity includes its attribute, IPv4's not
    0x0c00 | 0x00c0,  // the other way round
    0x0000,           // no events at all
    0x1ffff | IPAM_EVT_RELAY,
};

uint32_t word(const std::vector<uint8_t> &b) {
    uint32_t v;
    std::memcpy(&v, b.data(), 4);
    return v;
}

struct Action {
    enum Kind { Subscribe, Unsubscribe, Start, Send, End } kind;
    uint32_t code = 0;
    std::vector<uint8_t> payload = {};
};

template <class Info>
Action sendOf(uint32_t code, const Info &r) {
    return Action{Action::Send, code, bytesOf(r)};
}

class Driver {
public:
    explicit Driver(uint64_t seed) : rng_(seed) {}
    ~Driver() {
        if (model_.subscribed) IPAM_UnSubscribeEvent(kModule);
        EventLog::take();
    }

    // Runs `steps` steps; an empty string when everything matched, else
    // the step and its first mismatch.
    std::string run(uint64_t steps) {
        for (uint64_t i = 0; i < steps; i++) {
            Action a = next();
            std::string err = apply(a);
            if (err.empty()) err = check();
            if (err.empty() && model_.subscribed && rng_.chance(30))
                err = rng_.chance(50) ? pageOf<F4>(cur4_) : pageOf<F6>(cur6_);
            if (!err.empty())
                return "step " + std::to_string(i) + " (action " + std::to_string(a.kind) +
                       ", code " + std::to_string(a.code) + "): " + err;
        }
        return {};
    }

    uint64_t ops = 0;

private:
    Model model_;
    Rng rng_;
    Universe u_;
    std::deque<Action> batch_;
    bool inBatch_ = false;
    std::optional<Ipam4AddrInfo> cur4_;
    std::optional<Ipam6AddrInfo> cur6_;

    // ---- the stream
    Action next() {
        if (!model_.subscribed) return Action{Action::Subscribe, rng_.pick(kMasks), {}};
        if (inBatch_) {
            if (rng_.chance(4)) {  // the publisher restarts its dump
                planBatch();
                return Action{Action::Start};
            }
            if (!batch_.empty() && rng_.chance(88)) {
                Action a = batch_.front();
                batch_.pop_front();
                return a;
            }
            if (batch_.empty() && rng_.chance(85)) {
                inBatch_ = false;
                return Action{Action::End};
            }
            return single();
        }
        uint32_t r = rng_.below(100);
        if (r < 12) {
            planBatch();
            inBatch_ = true;
            return Action{Action::Start};
        }
        if (r < 14) return Action{Action::Unsubscribe};
        if (r < 16) return Action{Action::End};  // an end without a start
        return single();
    }

    template <class F>
    std::optional<typename F::Info> stored() {
        const auto &m = model_.nodes<F>();
        if (m.empty()) return std::nullopt;
        return std::next(m.begin(), rng_.below(static_cast<uint32_t>(m.size())))->second.info;
    }

    // A stored record, or any; the attribute often changed (`percent`),
    // which removal and the IPv6 update must ignore or take.
    template <class F>
    typename F::Info storedOrAny(uint32_t percent) {
        auto d = stored<F>().value_or(u_.rand<typename F::Info>(rng_));
        if (rng_.chance(percent)) F::attr(d) = u_.attr(rng_, d);
        return d;
    }

    template <class F>
    typename F::Info fresh() {
        auto s = stored<F>();
        if (s && rng_.chance(35)) return rng_.chance(50) ? *s : u_.mutate(rng_, *s);
        return u_.rand<typename F::Info>(rng_);
    }

    // The record an export's next page resumes behind, deleted, changed or
    // (once gone) added again.
    Action cursorChange() {
        uint32_t r = rng_.below(6);
        if (r < 3 && cur4_)
            return sendOf(r == 0   ? IPAM4_EVT_DEL
                          : r == 1 ? IPAM4_EVT_ADD
                                   : IPAM4_EVT_IF_INVALID,
                          *cur4_);
        if (!cur6_) return single();
        if (r == 3) return sendOf(IPAM6_EVT_DEL, *cur6_);
        if (r == 4) return sendOf(IPAM6_EVT_ADD, *cur6_);
        Ipam6AddrInfo d = *cur6_;
        d.ip6Attr = u_.attr(rng_, d);
        return sendOf(IPAM6_EVT_UPDATE, d);
    }

    Action single() {
        if ((cur4_ || cur6_) && rng_.chance(10)) return cursorChange();
        uint32_t r = rng_.below(100);
        if (r < 16) return sendOf(IPAM4_EVT_ADD, fresh<F4>());
        if (r < 26) return sendOf(IPAM4_EVT_DEL, storedOrAny<F4>(40));
        if (r < 42) return sendOf(IPAM6_EVT_ADD, fresh<F6>());
        if (r < 52) return sendOf(IPAM6_EVT_DEL, storedOrAny<F6>(40));
        if (r < 64) {
            Ipam6AddrInfo d = storedOrAny<F6>(70);
            return sendOf(IPAM6_EVT_UPDATE, rng_.chance(20) ? u_.mutate(rng_, d) : d);
        }
        if (r < 90) {
            static const uint32_t codes[] = {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID,
                                             IPAM6_EVT_IF_VALID, IPAM6_EVT_IF_INVALID};
            uint32_t ifIndex = rng_.chance(90) ? rng_.pick(u_.ifIndexes) : 9;
            return sendOf(codes[rng_.below(4)], ifIndex);
        }
        if (r < 95) return Action{Action::Send, IPAM_EVT_RELAY, std::vector<uint8_t>(60, 0x11)};
        static const uint32_t unknown[] = {0x3, IPAM4_EVT_VALID, IPAM_EVT_BATCH_START, 0x20000};
        return Action{Action::Send, unknown[rng_.below(4)], std::vector<uint8_t>(60, 0x22)};
    }

    // A whole dump: most stored records again, some changed, some dropped,
    // a few new ones, the odd duplicate, in shuffled order.
    template <class F>
    void again(std::vector<Action> &b) {
        for (const auto &[s, n] : model_.nodes<F>())
            if (!rng_.chance(22))
                b.push_back(sendOf(F::kBatch, rng_.chance(12) ? u_.mutate(rng_, n.info) : n.info));
    }
    void planBatch() {
        std::vector<Action> b;
        again<F4>(b);
        again<F6>(b);
        for (uint32_t i = rng_.below(4); i > 0; i--)
            b.push_back(sendOf(IPAM4_EVT_BATCH, u_.rand<Ipam4AddrInfo>(rng_)));
        for (uint32_t i = rng_.below(4); i > 0; i--)
            b.push_back(sendOf(IPAM6_EVT_BATCH, u_.rand<Ipam6AddrInfo>(rng_)));
        if (!b.empty() && rng_.chance(15))
            b.push_back(b[rng_.below(static_cast<uint32_t>(b.size()))]);
        for (size_t i = b.size(); i > 1; i--)
            std::swap(b[i - 1], b[rng_.below(static_cast<uint32_t>(i))]);
        batch_.assign(b.begin(), b.end());
    }

    // ---- playing it to both
    std::string apply(const Action &a) {
        ops++;
        int32_t r = 0, want = 0;
        if (a.kind == Action::Subscribe || a.kind == Action::Unsubscribe) {
            bool sub = a.kind == Action::Subscribe;
            r = sub ? IPAM_SubscribeEvent(0x5151, kModule, a.code, EventLog::callback)
                    : IPAM_UnSubscribeEvent(kModule);
            sub ? model_.subscribe(a.code) : model_.unsubscribe();
            cur4_.reset();
            cur6_.reset();
            inBatch_ = false;
            batch_.clear();
        } else if (a.kind == Action::Start) {
            r = ipamplat_pub_start();
            model_.start();
        } else if (a.kind == Action::End) {
            r = ipamplat_pub_end();
            want = model_.end();
        } else {
            r = ipamplat_pub_send(static_cast<int32_t>(a.code),
                                  static_cast<uint32_t>(a.payload.size()), a.payload.data());
            want = model_.dispatch(a.code, a.payload.data());
        }
        return r == want ? "" : "answered " + std::to_string(r) + ", want " + std::to_string(want);
    }

    // ---- comparing; the first mismatch is kept
    std::string err_;
    void bad(const std::string &what) {
        if (err_.empty()) err_ = what;
    }

    std::string check() {
        std::vector<Event> got = EventLog::take(), want = std::exchange(model_.events, {});
        size_t k =
            std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
        if (got != want)
            bad("event #" + std::to_string(k) + " of " + std::to_string(got.size()) +
                " differs (want " + std::to_string(want.size()) +
                (k < want.size() ? ", code " + std::to_string(want[k].code) : "") + ")");
        if (ipamSubGetCareEvt() != model_.care)
            bad("care mask " + std::to_string(ipamSubGetCareEvt()));
        if ((ipam_IsSubscrib() != 0) != model_.flag)
            bad("ipam_IsSubscrib " + std::to_string(ipam_IsSubscrib()));
        uint32_t count = 12345;
        ipam_AddrInfoNumGet(&count);
        if (count != model_.ifs.size()) bad("interface count " + std::to_string(count));
        checkQueries();
        for (uint32_t i : ifs_) {
            checkWalk<F4>(i);
            checkWalk<F6>(i);
        }
        checkExport<F4>();
        checkExport<F6>();
        return std::exchange(err_, {});
    }

    // A lookup's answer against the model's: result and, on success, the
    // record; on failure the caller's record must be untouched.
    template <class Info, class Call>
    void query(const std::string &what, Call call, const std::optional<Info> &rec,
               int32_t wantFail = IPAM_ERR_NOT_FOUND) {
        Info out, poison;
        std::memset(&out, 0xcd, sizeof out);
        std::memset(&poison, 0xcd, sizeof poison);
        int32_t got = call(&out), want = !model_.flag ? IPAM_ERR_NOT_SUBSCRIBED
                                         : rec        ? 0
                                                      : wantFail;
        if (got != want)
            bad(what + " answered " + std::to_string(got) + ", want " + std::to_string(want));
        else if (!sameBytes(out, got == 0 ? *rec : poison))
            bad(what + " gave the wrong record");
    }

    const std::vector<uint32_t> ifs_{1, 2, 3, 4, 5, 9};

    void checkQueries() {
        using O4 = std::optional<Ipam4AddrInfo>;
        using O6 = std::optional<Ipam6AddrInfo>;
        for (uint32_t i : ifs_) {
            std::string at = "(" + std::to_string(i) + ")";
            int32_t c = IPAM4_IsIpAddrConfigured(i);
            if (c != (model_.flag && !model_.list<F4>(i).empty()))
                bad("IPAM4_IsIpAddrConfigured" + at);
            query(
                "IPAM4_GetAddrInfoByIfIndex" + at,
                [&](auto *o) { return IPAM4_GetAddrInfoByIfIndex(i, o); }, model_.primary4(i));
            query(
                "IPAM6_GetAddrInfoByIfIndex" + at,
                [&](auto *o) { return IPAM6_GetAddrInfoByIfIndex(i, o); },
                model_.source6(i, nullptr));
            for (const auto &d : u_.addr6) {
                query(
                    "IPAM6_GetAddrInfoByIfIndexAndAddr" + at,
                    [&](auto *o) { return IPAM6_GetAddrInfoByIfIndexAndAddr(i, d.data(), o); },
                    model_.source6(i, d.data()));
                O6 exact;
                for (const auto &r : model_.list<F6>(i))
                    if (!exact && std::memcmp(r.ip6Addr, d.data(), 16) == 0) exact = r;
                query(
                    "IPAM6_GetAddrInfoByIfIndexAndIfAddr" + at,
                    [&](auto *o) { return IPAM6_GetAddrInfoByIfIndexAndIfAddr(i, d.data(), o); },
                    exact);
            }
        }
        std::vector<std::string> names{"nope"};
        for (uint32_t i : u_.ifIndexes)
            for (const auto &n : u_.names(i)) names.push_back(n);
        for (const auto &n : names) {
            auto idx = model_.ifByName(n.c_str());
            query(
                "IPAM4_GetAddrInfoByIfName " + n,
                [&](auto *o) { return IPAM4_GetAddrInfoByIfName(n.c_str(), o); },
                idx ? model_.primary4(*idx) : std::nullopt);
            query(
                "IPAM6_GetAddrInfoByIfName " + n,
                [&](auto *o) { return IPAM6_GetAddrInfoByIfName(n.c_str(), o); },
                model_.source6(idx, nullptr));
        }
        for (uint32_t vrf : {0u, 7u, 8u}) {
            std::string at = "(" + std::to_string(vrf) + ")";
            for (const auto &a : u_.addr4) {
                Ipam4AddrInfo w;
                int32_t want = model_.byKey<F4>(vrf, a.data(), &w);
                query(
                    "IPAM4_GetAddrInfo" + at,
                    [&](auto *o) { return IPAM4_GetAddrInfo(vrf, word(a), o); },
                    want == 0 ? O4(w) : std::nullopt, want);
            }
            for (const auto &a : u_.addr6) {
                Ipam6AddrInfo w;
                int32_t want = model_.byKey<F6>(vrf, a.data(), &w);
                query(
                    "IPAM6_GetAddrInfo" + at,
                    [&](auto *o) { return IPAM6_GetAddrInfo(vrf, a.data(), o); },
                    want == 0 ? O6(w) : std::nullopt);
            }
        }
    }

    template <class F>
    void checkWalk(uint32_t i) {
        std::vector<typename F::Info> got;
        int32_t r = walk(i, &got), want = model_.hasIf(i) ? 0 : IPAM_ERR_NOT_FOUND;
        if (r != want || !sameBytes(got, model_.list<F>(i)))
            bad("walk of family " + std::to_string(F::kAddr) + " on " + std::to_string(i) +
                " answered " + std::to_string(r) + " with " + std::to_string(got.size()) +
                " records");
    }

    template <class F>
    void checkExport() {
        std::vector<typename F::Info> got;
        int32_t r = exportTable<typename F::Info>(nullptr, -1, &got);
        bool ok = model_.subscribed ? r == IPAM_CMF_END && sameBytes(got, model_.indexOrder<F>())
                                    : r == IPAMPLAT_NO_PEER;
        if (!ok)
            bad("export of family " + std::to_string(F::kAddr) + " answered " + std::to_string(r));
    }

    // One page of a paged export that runs across steps, so that its cursor
    // may meanwhile have been removed, changed or added again. While the
    // table stays as it was, each page is exactly the model's; once it
    // changed, the export must still deliver every record stored all along
    // exactly once, nothing twice, and only full pages before its end.
    template <class F>
    std::string pageOf(std::optional<typename F::Info> &cur) {
        auto &run = model_.run<F>();
        if (!cur) model_.beginExport<F>();
        int32_t limit = static_cast<int32_t>(1 + rng_.below(4));
        bool end = false;
        auto want = model_.page<F>(cur ? &*cur : nullptr, limit, &end);
        std::vector<typename F::Info> got;
        const int32_t r = exportTable(cur ? &*cur : nullptr, limit, &got);
        std::string err;
        auto fail = [&](const std::string &what) {
            if (err.empty())
                err = "export page of " + std::to_string(limit) + " answered " + std::to_string(r) +
                      ": " + what;
        };
        // The model resumes behind the newest record that is the same as the
        // cursor; only when there is one such record is that where the
        // export stood.
        bool exact = !run.changed && (!cur || model_.sameCount<F>(*cur) == 1);
        if (exact && (r != (end ? IPAM_CMF_END : 0) || !sameBytes(got, want)))
            fail("not the model's page");
        if (r != 0 && r != IPAM_CMF_END) fail("neither a page nor the end");
        if (r == 0 && static_cast<int32_t>(got.size()) != limit) fail("a page short of its limit");
        size_t after = 0;  // the page's records lie in index order
        for (const auto &g : got) {
            // Records alike in every byte (an update or a validity change can
            // make them so) cannot be told apart: an export that met such
            // twins is checked for order alone.
            auto places = model_.placesOf<F>(g);
            if (places.size() > 1) run.ambiguous = true;
            auto it = std::find_if(places.begin(), places.end(), [&](auto p) {
                return p.second >= after && !run.seen.count(p.first);
            });
            if (places.empty())
                fail("a record not stored");
            else if (it != places.end())
                run.seen.insert(it->first), after = it->second + 1;
            else if (!run.ambiguous)
                fail("a record delivered twice, or out of index order");
        }
        run.changed = false;
        if (r == IPAM_CMF_END) {
            for (uint64_t seq : run.ambiguous ? std::set<uint64_t>{} : run.whole)
                if (!run.seen.count(seq)) fail("a record stored all along was not delivered");
            cur.reset();
        } else if (!got.empty()) {
            cur = got.back();
        }
        return err;
    }
};

TEST(ModelTest, RandomStreamsMatchTheModel) {
    uint64_t steps = envNumber("IPAM_MODEL_STEPS", kDefaultSteps), total = 0;
    uint64_t one = envNumber("IPAM_MODEL_SEED", 0), first = one ? one : 1;
    uint64_t last = one ? one : envNumber("IPAM_MODEL_SEEDS", kDefaultSeeds);
    for (uint64_t seed = first; seed <= last; seed++) {
        Driver d(seed);
        std::string err = d.run(steps);
        total += d.ops;
        if (!err.empty()) {
            ADD_FAILURE() << "seed " << seed << " (rerun: IPAM_MODEL_SEED=" << seed << ")\n" << err;
            return;
        }
    }
    std::printf("model: %llu seeds x %llu steps, %llu operations, all matched\n",
                static_cast<unsigned long long>(last - first + 1),
                static_cast<unsigned long long>(steps), static_cast<unsigned long long>(total));
}

}  // namespace
}  // namespace rel
