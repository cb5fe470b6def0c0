// The workloads, written once over any side. A side is a class with the
// operations below; every side keeps its own table of n IPv4 and n IPv6
// records (records 0..n-1 of workload.h) between benchmarks and refills it
// only when the size or the IPv6 shape changes.
//
//   void fill(size_t n, V6Shape shape)         fresh table of n + n records
//   void add4(const Ipam4AddrInfo &) / del4 / add6 / del6   single changes
//   bool configured4(uint32_t ifIndex)
//   bool primary4(uint32_t ifIndex, Ipam4AddrInfo *)
//   bool get4(uint32_t vrf, uint32_t addr, Ipam4AddrInfo *)
//   bool get6(uint32_t vrf, const uint8_t *addr, Ipam6AddrInfo *)
//   bool select6(uint32_t ifIndex, const uint8_t *dest, Ipam6AddrInfo *)
//   int walk4(uint32_t ifIndex, Ipam4AddrInfoWalkFn, void *) / walk6
//   size_t export4() / export6()              page the whole table, records seen
//   void resyncPrepare4(const Ipam4AddrInfo *, size_t n) / resyncPrepare6
//        a table of these n records of one family only
//   void resync4(const Ipam4AddrInfo *, size_t, skipFrom, skipCount) / resync6
//        one batch of the records given, less the window [skipFrom, +skipCount)
//   void memory(benchmark::State &, size_t n)  fills from empty, reports heap
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "bench.h"
#include "workload.h"

namespace bench {

template <class Side>
class Driver {
public:
    explicit Driver(Side &side) : side_(side) {}

    void registerAll(std::size_t n) {
        const char *s = side_.name();
        // Past kFullSetUpTo records only the keyed workloads, the resync and
        // the memory reading; the order is the same at every size, since
        // each workload finds the table the previous ones left.
        const bool all = n <= kFullSetUpTo;
        reg(s, "v4_add", n, [this, n](benchmark::State &st) { addDel4(st, n, true); });
        reg(s, "v4_del", n, [this, n](benchmark::State &st) { addDel4(st, n, false); });
        reg(s, "v6_add", n, [this, n](benchmark::State &st) { addDel6(st, n, true); });
        reg(s, "v6_del", n, [this, n](benchmark::State &st) { addDel6(st, n, false); });
        if (all) {
            reg(s, "v4_configured", n, [this, n](benchmark::State &st) { configured(st, n); });
            reg(s, "v4_primary", n, [this, n](benchmark::State &st) { primary(st, n); });
        }
        reg(s, "v4_get", n, [this, n](benchmark::State &st) { get4(st, n); });
        reg(s, "v6_get", n, [this, n](benchmark::State &st) { get6(st, n, V6Shape::Realistic); });
        if (all) {
            reg(s, "v6_select", n, [this, n](benchmark::State &st) { select(st, n); });
            reg(s, "v4_walk", n, [this, n](benchmark::State &st) { walk(st, n, false); });
            reg(s, "v6_walk", n, [this, n](benchmark::State &st) { walk(st, n, true); });
            // The library answers exports on the platform's management
            // thread: count the CPU time of every thread of the process.
            reg(s, "v4_export", n, [this, n](benchmark::State &st) {
                exportAll(st, n, false);
            })->MeasureProcessCPUTime();
            reg(s, "v6_export", n, [this, n](benchmark::State &st) {
                exportAll(st, n, true);
            })->MeasureProcessCPUTime();
        }
        if (side_.resyncFeasible(n)) {
            reg(s, "v4_resync", n, [this, n](benchmark::State &st) { resync(st, n, false); });
            reg(s, "v6_resync", n, [this, n](benchmark::State &st) { resync(st, n, true); });
        }
        if (all)
            reg(s, "v6_get_spread", n,
                [this, n](benchmark::State &st) { get6(st, n, V6Shape::Spread); });
        reg(s, "memory", n, [this, n](benchmark::State &st) { memory(st, n); })->Iterations(1);
    }

    // Brings the side's table to n records of each family, records 0..n-1.
    void ensure(std::size_t n, V6Shape shape) {
        if (filledN_ == n && filledShape_ == shape) return;
        side_.fill(n, shape);
        filledN_ = n;
        filledShape_ = shape;
        t4_ = table4(n);
        t6_ = table6(n, shape);
        order_ = visitOrder(n);
        // The queries read their keys from copies in visiting order: a host
        // asks with a key it holds in hand, not one fetched from a table of
        // the whole replica's size, whose misses every side would pay.
        visit4_.clear();
        visit6_.clear();
        for (uint32_t k : order_) {
            visit4_.push_back(t4_[k]);
            visit6_.push_back(t6_[k]);
        }
        // The delete workload spares each interface's first record: put back,
        // a record goes to the tail of its interface's list, and a primary
        // moved there would make the primary query walk the whole list.
        delOrder_.clear();
        for (std::size_t k = std::min<std::size_t>(interfaceCount(), n / 2); k < n; ++k)
            delOrder_.push_back(static_cast<uint32_t>(k));
        std::shuffle(delOrder_.begin(), delOrder_.end(), std::mt19937(4242));
        delNext_ = 0;
        pool4_.clear();
        pool6_.clear();
        for (std::size_t i = 0; i < kPool; ++i) {
            pool4_.push_back(record4(static_cast<uint32_t>(n + i)));
            pool6_.push_back(record6(static_cast<uint32_t>(n + i), shape));
        }
    }
    void forget() { filledN_ = 0; }

private:
    benchmark::internal::Benchmark *reg(const char *s, const char *w, std::size_t n, Body b) {
        return add(s, w, n, std::move(b));
    }

public:
    // Single changes: one iteration adds (or deletes) one pool record; the
    // pool is reset with the timer paused every kPool iterations.
    void addDel4(benchmark::State &st, std::size_t n, bool adding) {
        ensure(n, V6Shape::Realistic);
        if (adding)
            addNew(
                st, pool4_, [this](const Ipam4AddrInfo &r) { side_.add4(r); },
                [this](const Ipam4AddrInfo &r) { side_.del4(r); });
        else
            delStored(
                st, t4_, [this](const Ipam4AddrInfo &r) { side_.add4(r); },
                [this](const Ipam4AddrInfo &r) { side_.del4(r); });
        if (!adding) forget();  // see delStored
    }

    void addDel6(benchmark::State &st, std::size_t n, bool adding) {
        ensure(n, V6Shape::Realistic);
        if (adding)
            addNew(
                st, pool6_, [this](const Ipam6AddrInfo &r) { side_.add6(r); },
                [this](const Ipam6AddrInfo &r) { side_.del6(r); });
        else
            delStored(
                st, t6_, [this](const Ipam6AddrInfo &r) { side_.add6(r); },
                [this](const Ipam6AddrInfo &r) { side_.del6(r); });
        if (!adding) forget();  // see delStored
    }

private:
    // Adds records that are not stored (the pool past the table), removing
    // them again with the timer paused every kPool additions.
    template <class Rec, class Add, class Del>
    void addNew(benchmark::State &st, const std::vector<Rec> &pool, Add addFn, Del delFn) {
        std::size_t i = 0;
        uint64_t resetAllocs = 0;
        AllocScope allocs;
        for (auto _ : st) {
            addFn(pool[i]);
            if (++i == pool.size()) {
                st.PauseTiming();
                const uint64_t a0 = heap().allocs;
                for (const auto &r : pool) delFn(r);
                resetAllocs += heap().allocs - a0;
                i = 0;
                st.ResumeTiming();
            }
        }
        allocs.finish(st);
        st.counters["allocs/op"] -=
            static_cast<double>(resetAllocs) / static_cast<double>(st.iterations());
        for (std::size_t k = 0; k < i; ++k) delFn(pool[k]);
    }

    // Deletes stored records in a random order, putting each group of kPool
    // back with the timer paused. Records put back sit at the front of their
    // chains, so every group is drawn afresh from the table. Each group is
    // copied out beforehand: a publisher's message arrives in a buffer just
    // written, not as a random read from a table of the replica's size.
    // Its caller has the next workload fill the table afresh: a faster side
    // runs more iterations, and each moves records to the tails of their
    // interfaces' lists at new places in memory, so the interface walks
    // that follow would measure how fast the deletes were.
    template <class Rec, class Add, class Del>
    void delStored(benchmark::State &st, const std::vector<Rec> &table, Add addFn, Del delFn) {
        const std::size_t group = std::min(kPool, table.size());
        std::vector<Rec> staged(group);
        auto stage = [&] {
            for (std::size_t k = 0; k < group; ++k)
                staged[k] = table[delOrder_[(delNext_ + k) % delOrder_.size()]];
        };
        stage();
        std::size_t i = 0;
        uint64_t resetAllocs = 0;
        AllocScope allocs;
        for (auto _ : st) {
            delFn(staged[i]);
            if (++i == group) {
                st.PauseTiming();
                const uint64_t a0 = heap().allocs;
                for (const Rec &r : staged) addFn(r);
                resetAllocs += heap().allocs - a0;
                delNext_ = (delNext_ + group) % delOrder_.size();
                stage();
                i = 0;
                st.ResumeTiming();
            }
        }
        allocs.finish(st);
        st.counters["allocs/op"] -=
            static_cast<double>(resetAllocs) / static_cast<double>(st.iterations());
        for (std::size_t k = 0; k < i; ++k) addFn(staged[k]);
        delNext_ = (delNext_ + i) % delOrder_.size();
    }

    // One query per iteration over the IPv4 records in visit order; every
    // query must hit.
    template <class Query>
    void probe4(benchmark::State &st, std::size_t n, Query query) {
        ensure(n, V6Shape::Realistic);
        std::size_t i = 0, hits = 0;
        AllocScope allocs;
        for (auto _ : st) hits += query(visit4_[i++ & (visit4_.size() - 1)]);
        allocs.finish(st);
        check(st, hits);
    }

    void configured(benchmark::State &st, std::size_t n) {
        probe4(st, n, [this](const Ipam4AddrInfo &r) { return side_.configured4(r.ifIndex); });
    }

    void primary(benchmark::State &st, std::size_t n) {
        Ipam4AddrInfo out;
        probe4(st, n, [this, &out](const Ipam4AddrInfo &r) {
            const bool hit = side_.primary4(r.ifIndex, &out);
            benchmark::DoNotOptimize(out);
            return hit;
        });
    }

    void get4(benchmark::State &st, std::size_t n) {
        Ipam4AddrInfo out;
        probe4(st, n, [this, &out](const Ipam4AddrInfo &r) {
            const bool hit = side_.get4(r.vrfIndex, r.ipAddr, &out);
            benchmark::DoNotOptimize(out);
            return hit;
        });
    }

    void get6(benchmark::State &st, std::size_t n, V6Shape shape) {
        ensure(n, shape);
        std::size_t i = 0, hits = 0;
        Ipam6AddrInfo out;
        AllocScope allocs;
        for (auto _ : st) {
            const Ipam6AddrInfo &r = visit6_[i++ & (visit6_.size() - 1)];
            hits += side_.get6(r.vrfIndex, r.ip6Addr, &out);
            benchmark::DoNotOptimize(out);
        }
        allocs.finish(st);
        check(st, hits);
        const BucketStats b = bucketStats6(t6_);
        st.counters["buckets_used"] = b.used;
        st.counters["longest_chain"] = b.longest;
        st.counters["mean_chain"] = b.meanChain;
    }

    void select(benchmark::State &st, std::size_t n) {
        ensure(n, V6Shape::Realistic);
        std::vector<std::array<uint8_t, 16>> dest(interfaceCount());
        for (uint32_t f = 0; f < interfaceCount(); ++f) destinationFor(f, dest[f].data());
        std::size_t i = 0, hits = 0;
        Ipam6AddrInfo out;
        AllocScope allocs;
        for (auto _ : st) {
            const uint32_t f = order_[i++ & (order_.size() - 1)] % interfaceCount();
            hits += side_.select6(ifIndexOf(f), dest[f].data(), &out);
            benchmark::DoNotOptimize(out);
        }
        allocs.finish(st);
        check(st, hits);
    }

    static int32_t count4(Ipam4AddrInfo *r, void *user) {
        benchmark::DoNotOptimize(r->ipAddr);
        ++*static_cast<std::size_t *>(user);
        return 0;
    }
    static int32_t count6(Ipam6AddrInfo *r, void *user) {
        benchmark::DoNotOptimize(r->ip6Addr[15]);
        ++*static_cast<std::size_t *>(user);
        return 0;
    }

    // One iteration walks one interface's records.
    void walk(benchmark::State &st, std::size_t n, bool v6) {
        ensure(n, V6Shape::Realistic);
        std::size_t i = 0, seen = 0;
        AllocScope allocs;
        for (auto _ : st) {
            const uint32_t f = order_[i++ & (order_.size() - 1)] % interfaceCount();
            if (v6)
                side_.walk6(ifIndexOf(f), count6, &seen);
            else
                side_.walk4(ifIndexOf(f), count4, &seen);
        }
        allocs.finish(st);
        st.counters["records/op"] =
            static_cast<double>(seen) / static_cast<double>(st.iterations());
    }

    // One iteration pages through the whole table.
    void exportAll(benchmark::State &st, std::size_t n, bool v6) {
        ensure(n, V6Shape::Realistic);
        std::size_t seen = 0;
        AllocScope allocs;
        for (auto _ : st) seen = v6 ? side_.export6() : side_.export4();
        allocs.finish(st);
        if (seen != n) st.SkipWithError("export did not see the whole table");
        st.counters["pages/op"] = static_cast<double>((n + kPageRecords - 1) / kPageRecords);
    }

    // One iteration is one whole batch over a universe of n + n/10 records
    // in which a window of n/10 moves on each time: the batch brings back
    // the records the last one dropped and drops as many others, which the
    // end of the batch sweeps.
    void resync(benchmark::State &st, std::size_t n, bool v6) {
        const std::size_t m = n / kStaleEvery;
        const std::size_t u = n + m;
        std::vector<Ipam4AddrInfo> uni4;
        std::vector<Ipam6AddrInfo> uni6;
        for (std::size_t k = 0; k < u; ++k) {
            if (v6)
                uni6.push_back(record6(static_cast<uint32_t>(k), V6Shape::Realistic));
            else
                uni4.push_back(record4(static_cast<uint32_t>(k)));
        }
        // A batch is the publisher's whole table: the replica holds this
        // family only, so that every batch confirms, adds and sweeps exactly
        // what the window says and nothing of the other family.
        forget();
        if (v6)
            side_.resyncPrepare6(uni6.data(), n);
        else
            side_.resyncPrepare4(uni4.data(), n);
        std::size_t window = n;  // the records the table lacks now: [n, n + m)
        AllocScope allocs;
        for (auto _ : st) {
            window = (window + m) % u;
            if (v6)
                side_.resync6(uni6.data(), u, window, m);
            else
                side_.resync4(uni4.data(), u, window, m);
        }
        allocs.finish(st);
        forget();  // the next workload fills the replica anew
        st.counters["records/op"] = static_cast<double>(n);
        st.counters["stale/op"] = static_cast<double>(m);
    }

    void memory(benchmark::State &st, std::size_t n) {
        forget();
        for (auto _ : st) side_.memory(st, n);
    }

    static void check(benchmark::State &st, std::size_t hits) {
        if (hits != static_cast<std::size_t>(st.iterations()))
            st.SkipWithError("a lookup missed a stored record");
    }

public:
    // True when record k of a universe of u lies in the window of `count`
    // records from `from` (mod u).
    static bool inWindow(std::size_t k, std::size_t from, std::size_t count, std::size_t u) {
        return (k + u - from) % u < count;
    }

private:
    Side &side_;
    std::size_t filledN_ = 0;
    V6Shape filledShape_ = V6Shape::Realistic;
    std::vector<Ipam4AddrInfo> t4_, pool4_;
    std::vector<Ipam6AddrInfo> t6_, pool6_;
    std::vector<uint32_t> order_;
    std::vector<Ipam4AddrInfo> visit4_;  // t4_ and t6_ in visiting order
    std::vector<Ipam6AddrInfo> visit6_;
    std::vector<uint32_t> delOrder_;  // a permutation of the table
    std::size_t delNext_ = 0;
};

}  // namespace bench
