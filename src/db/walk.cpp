// The six database walks: whole address tables in index order behind an
// optional cursor record, and one interface's address nodes or record copies
// in insertion order. Every walk holds the database lock while its callbacks
// run; the lock admits the callbacks' own re-entry on the same thread.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/log.h"
#include "db/addr.h"

namespace {

using ipam::Fam4;
using ipam::Fam6;

// Where a whole-table walk starts. A cursor that is still stored resumes
// behind its own node. A cursor that is gone (removed or changed since it was
// handed out) resumes where it would stand: at the head of its bucket, or of
// the next non-empty one. That place is found without linking anything into
// the index: the publisher thread looks nodes up without the lock, and could
// find (and write to) a stand-in node briefly at a bucket's head. Caller
// holds the lock.
template <class Fam>
typename Fam::Node *firstToVisit(const typename Fam::Info *cursor) {
    using Node = typename Fam::Node;
    IpamHashTable *t = &ipam::chainOf<Fam>();
    if (cursor == nullptr) {
        IpamHashLink *first = ipam::hashIterFirst(t);
        return first ? static_cast<Node *>(ipam::hashNodeOf(t, first)) : nullptr;
    }
    if (Node *stored = ipam::findSame<Fam>(*cursor)) return ipam::successor<Fam>(stored);
    Node standIn;
    std::memset(&standIn, 0, sizeof standIn);
    std::memcpy(&standIn.info, cursor, sizeof standIn.info);
    IpamHashLink *first = ipam::hashIterFirstFrom(t, Fam::chainHash(standIn) % t->bucketCount);
    return first ? static_cast<Node *>(ipam::hashNodeOf(t, first)) : nullptr;
}

// Reads a walk's next chains ahead of it. A chain gives up its nodes one
// after the other, and in a table larger than the caches each step of a
// walk waits for a miss. Reading the chains of the next buckets side by
// side, one node of each in turn, lets their misses overlap; the walk then
// meets those nodes in the cache. Like file read-ahead, the window starts
// small and doubles as the walk goes on, so a walk that stops soon (one
// export page) reads little that it does not visit.
template <class Fam>
class ReadAhead {
public:
    explicit ReadAhead(const IpamHashTable *t)
        : t_(t), chain_(t->count / t->bucketCount), on_(t->count >= kFrom * t->bucketCount) {}

    // Called with the node the walk is about to visit.
    void before(const typename Fam::Node *node) {
        if (!on_) return;
        const uint32_t bucket = ipam::hashLinkOf(t_, node)->hash % t_->bucketCount;
        if (bucket < end_) return;
        const uint32_t width = std::min(budget_ / chain_, kWidest);
        end_ = std::min(bucket + std::max(width, 1u), t_->bucketCount);
        if (width >= 2) read(bucket);
        budget_ = std::min(budget_ * 2, kMostNodes);
    }

private:
    static constexpr uint32_t kFrom = 16;         // nodes per chain, on average
    static constexpr uint32_t kWidest = 32;       // chains read side by side
    static constexpr uint32_t kMostNodes = 2048;  // per window: well inside a core's cache

    void read(uint32_t from) {
        IpamHashLink *at[kWidest];
        uint32_t live = 0;
        for (uint32_t b = from; b < end_; b++)
            if (t_->buckets[b]) at[live++] = t_->buckets[b];
        uint32_t seen = 0;  // the reads' only use: kept, so they are made
        for (uint32_t left = 2 * budget_; live > 0 && left > 0;) {
            for (uint32_t i = 0; i < live && left > 0; left--) {
                const auto *node = static_cast<const char *>(ipam::hashNodeOf(t_, at[i]));
                __builtin_prefetch(node + sizeof(typename Fam::Node) - 1);
                seen += at[i]->hash;
                if ((at[i] = at[i]->next) == nullptr)
                    at[i] = at[--live];
                else
                    i++;
            }
        }
        sink_ = seen;
    }

    const IpamHashTable *t_;
    uint32_t chain_;  // average nodes per chain
    bool on_;
    uint32_t end_ = 0;      // buckets before this one are read (or left to the walk)
    uint32_t budget_ = 64;  // nodes the next window may read
    volatile uint32_t sink_ = 0;
};

// IPAM_WALK_END at the end of the table; IPAM_ERR_FAIL when a callback
// answered non-zero, that answer stored in *status when status is not null.
// The successor is fixed before each callback runs, so a callback may remove
// the node it is given (and no other node of the family).
//
// A paged walk (an export's page) goes on where an earlier page stopped when
// its cursor is one that page ended on (db/resume.h), and when its callback
// stops it remembers where it stood for either record the requester may
// hold last: the one before the stop (a page that does not keep the record
// it refused) and the one it stopped on (a page that does). Its callback
// changes nothing in the database.
template <class Fam, bool kPaged, class NodeFn>
int32_t walkTable(const typename Fam::Info *cursor, NodeFn callback, void *user, int32_t *status) {
    using Node = typename Fam::Node;
    if (callback == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    if (!scope) return IPAM_WALK_END;
    const auto *place = kPaged && cursor ? ipam::resumePlaceOf<Fam>(*cursor) : nullptr;
    Node *node = place ? place->at : firstToVisit<Fam>(cursor);
    const typename Fam::Info *last = cursor;  // what the caller has been given last
    ReadAhead<Fam> ahead(&ipam::chainOf<Fam>());
    while (node) {
        ahead.before(node);
        Node *next = ipam::successor<Fam>(node);
        int32_t r = callback(node, user);
        if (r != 0) {
            if constexpr (kPaged) {
                // When both records are alike the cursor cannot tell them
                // apart; the earlier place, remembered last, wins: it may
                // send a record again but never misses one.
                ipam::resumeRemember<Fam>(node->info, next);
                if (last) ipam::resumeRemember<Fam>(*last, node);
            }
            IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db call back function return failed %d", r);
            if (status) *status = r;
            return IPAM_ERR_FAIL;
        }
        if constexpr (kPaged) last = &node->info;
        node = next;
    }
    return IPAM_WALK_END;
}

// Visits the interface's address nodes in insertion order. The next node is
// read after the callback returns, so the callback may change the node it is
// given in place but must not remove it. `noInterface` is the answer for an
// ifIndex without interface node (also without a database); a stop by the
// callback answers 0.
template <class Fam, class NodeFn>
int32_t walkIfNodes(uint32_t ifIndex, NodeFn callback, void *user, int32_t noInterface) {
    using Node = typename Fam::Node;
    if (callback == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    IpamIfNode *ifNode = ipam::ifNodeFind(scope, ifIndex);
    if (ifNode == nullptr) return noInterface;
    IpamListLink *head = &Fam::list(*ifNode);
    for (IpamListLink *l = head->next; l != head; l = l->next)
        if (callback(ipam::nodeOfIfLink<Node>(l), user) != 0) return IPAM_OK;
    IPAM_DBG(IPAM_DBG_DB, Fam::kTextWalkOver, ifIndex);
    return IPAM_OK;
}

// Hands the callback a private copy of each of the interface's records, in
// insertion order: 0 at the end of the list, -1 when the callback answered
// non-zero, 14 when no interface (or no database) has this ifIndex.
template <class Fam, class RecordFn>
int32_t walkIfRecords(uint32_t ifIndex, RecordFn callback, void *user) {
    using Node = typename Fam::Node;
    using Info = typename Fam::Info;
    if (callback == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    IpamIfNode *ifNode = ipam::ifNodeFind(scope, ifIndex);
    if (ifNode == nullptr) {
        IPAM_DBG(IPAM_DBG_DB, Fam::kTextWalkNoIf, ifIndex);
        return IPAM_ERR_NOT_FOUND;
    }
    IpamListLink *head = &Fam::list(*ifNode);
    for (IpamListLink *l = head->next; l != head; l = l->next) {
        Info copy;
        std::memcpy(&copy, &ipam::nodeOfIfLink<Node>(l)->info, sizeof copy);
        if (callback(&copy, user) != 0) {
            IPAM_DBG(IPAM_DBG_DB, Fam::kTextWalkBroken, ifIndex,
                     reinterpret_cast<void *>(callback));
            return IPAM_ERR_FAIL;
        }
        Fam::traceWalkVisited(ifIndex, copy);
    }
    IPAM_DBG(IPAM_DBG_DB, Fam::kTextWalkOver, ifIndex);
    return IPAM_OK;
}

}  // namespace

int32_t ipam_DbAddrWalk(const Ipam4AddrInfo *cursor, Ipam4DbNodeWalkFn callback, void *user,
                        int32_t *status) {
    return walkTable<Fam4, false>(cursor, callback, user, status);
}

int32_t ipam6_DbAddrWalk(const Ipam6AddrInfo *cursor, Ipam6DbNodeWalkFn callback, void *user,
                         int32_t *status) {
    return walkTable<Fam6, false>(cursor, callback, user, status);
}

int32_t ipam::pageWalk4(const Ipam4AddrInfo *cursor, Ipam4DbNodeWalkFn callback, void *user,
                        int32_t *status) {
    return walkTable<Fam4, true>(cursor, callback, user, status);
}

int32_t ipam::pageWalk6(const Ipam6AddrInfo *cursor, Ipam6DbNodeWalkFn callback, void *user,
                        int32_t *status) {
    return walkTable<Fam6, true>(cursor, callback, user, status);
}

// An IPv4 interface walk over an unknown interface answers 0, like a
// complete one; its IPv6 twin answers 14.
int32_t ipam_DbAddrWalkByIf(uint32_t ifIndex, Ipam4DbNodeWalkFn callback, void *user) {
    return walkIfNodes<Fam4>(ifIndex, callback, user, 0);
}

int32_t ipam6_DbAddrWalkByIf(uint32_t ifIndex, Ipam6DbNodeWalkFn callback, void *user) {
    return walkIfNodes<Fam6>(ifIndex, callback, user, IPAM_ERR_NOT_FOUND);
}

int32_t ipam4_DbAddrInfoWalkByIf(uint32_t ifIndex, Ipam4AddrInfoWalkFn callback, void *user) {
    return walkIfRecords<Fam4>(ifIndex, callback, user);
}

int32_t ipam6_DbAddrInfoWalkByIf(uint32_t ifIndex, Ipam6AddrInfoWalkFn callback, void *user) {
    return walkIfRecords<Fam6>(ifIndex, callback, user);
}
