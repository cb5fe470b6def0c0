// The ideal reference side: ideal::Db driven by the common workloads.
#include "drive.h"
#include "ideal.h"

namespace bench {
namespace {

class IdealSide {
public:
    const char *name() const { return "ideal"; }
    bool resyncFeasible(std::size_t) const { return true; }

    void fill(std::size_t n, V6Shape shape) {
        db_.clear();
        for (uint32_t k : fillOrder(n)) db_.add4(record4(k));
        for (uint32_t k : fillOrder(n)) db_.add6(record6(k, shape));
        shape_ = shape;
    }

    void resyncPrepare4(const Ipam4AddrInfo *uni, std::size_t n) {
        db_.clear();
        for (std::size_t k = 0; k < n; ++k) db_.add4(uni[k]);
    }
    void resyncPrepare6(const Ipam6AddrInfo *uni, std::size_t n) {
        db_.clear();
        for (std::size_t k = 0; k < n; ++k) db_.add6(uni[k]);
    }

    void add4(const Ipam4AddrInfo &r) { db_.add4(r); }
    void del4(const Ipam4AddrInfo &r) { db_.del4(r); }
    void add6(const Ipam6AddrInfo &r) { db_.add6(r); }
    void del6(const Ipam6AddrInfo &r) { db_.del6(r); }
    bool configured4(uint32_t f) { return db_.configured4(f); }
    bool primary4(uint32_t f, Ipam4AddrInfo *o) { return db_.primary4(f, o); }
    bool get4(uint32_t v, uint32_t a, Ipam4AddrInfo *o) { return db_.get4(v, a, o); }
    bool get6(uint32_t v, const uint8_t *a, Ipam6AddrInfo *o) { return db_.get6(v, a, o); }
    bool select6(uint32_t f, const uint8_t *d, Ipam6AddrInfo *o) { return db_.select6(f, d, o); }
    int walk4(uint32_t f, Ipam4AddrInfoWalkFn fn, void *u) { return db_.walk4(f, fn, u); }
    int walk6(uint32_t f, Ipam6AddrInfoWalkFn fn, void *u) { return db_.walk6(f, fn, u); }

    std::size_t export4() { return exportAll<Ipam4AddrInfo>(&ideal::Db::page4); }
    std::size_t export6() { return exportAll<Ipam6AddrInfo>(&ideal::Db::page6); }

    void resync4(const Ipam4AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        db_.beginBatch();
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<IdealSide>::inWindow(k, from, count, u)) db_.batch4(uni[k]);
        db_.endBatch();
    }
    void resync6(const Ipam6AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        db_.beginBatch();
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<IdealSide>::inWindow(k, from, count, u)) db_.batch6(uni[k]);
        db_.endBatch();
    }

    void memory(benchmark::State &st, std::size_t n) {
        fillOrder(n);  // before the heap is read
        db_.clear();
        resetPeak();
        const HeapCounters h0 = heap();
        for (uint32_t k : fillOrder(n)) db_.add4(record4(k));
        const HeapCounters h1 = heap();
        for (uint32_t k : fillOrder(n)) db_.add6(record6(k, V6Shape::Realistic));
        const HeapCounters h2 = heap();
        reportFill(st, h0, h0, h1, h2, n);
    }

private:
    template <class Rec>
    std::size_t exportAll(uint32_t (ideal::Db::*page)(uint32_t, Rec *, int, int *) const) {
        Rec buf[kPageRecords];
        std::size_t seen = 0;
        uint32_t cursor = ideal::kNone;
        do {
            int got = 0;
            cursor = (db_.*page)(cursor, buf, kPageRecords, &got);
            benchmark::DoNotOptimize(buf);
            seen += static_cast<std::size_t>(got);
        } while (cursor != ideal::kNone);
        return seen;
    }

    ideal::Db db_;
    V6Shape shape_ = V6Shape::Realistic;
};

IdealSide g_side;
Driver<IdealSide> g_driver(g_side);

}  // namespace

void registerIdeal(std::size_t n) { g_driver.registerAll(n); }

}  // namespace bench
