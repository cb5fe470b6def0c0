// Where a paged walk resumes. A page of an export ends on a record the
// requester sends back as the next page's cursor; that record may be
// deleted or changed before the next page is asked for, and the cursor
// alone then no longer says where the walk stood (in a crowded bucket it
// would start the bucket over and repeat it). So each family remembers, for
// the last few pages handed out, the cursor records a requester may send
// back and the node the walk would go on at. A removal of such a node moves
// the place on to the node after it, so the place stays where the walk
// stood however the table changes. Places are few and fixed in number: an
// old one is forgotten, and its cursor then resumes as any cursor does.
// Everything here runs under the database lock.
#pragma once

#include <cstdint>
#include <cstring>

#include "db/db.h"
#include "db/family.h"

namespace ipam {

// The node after `node` in its index's order, or null.
template <class Fam>
typename Fam::Node *successor(typename Fam::Node *node) {
    const IpamHashTable *t = &Fam::table();
    IpamHashLink *next = hashIterNext(t, hashLinkOf(t, node));
    return next ? static_cast<typename Fam::Node *>(hashNodeOf(t, next)) : nullptr;
}

// Two places per page (either record a requester may hold last), for four
// pages of exports going on at once.
constexpr uint32_t kResumePlaces = 8;

template <class Fam>
struct ResumePlaces {
    struct Place {
        typename Fam::Info cursor;  // the record a requester sends back
        typename Fam::Node *at;     // where the walk goes on; null: the table's end
        uint32_t used;              // `clock` when last remembered
    };
    Place places[kResumePlaces];
    uint32_t count = 0;  // places in use: the first `count`
    uint32_t clock = 0;
};

template <class Fam>
inline ResumePlaces<Fam> gResumePlaces;

// The remembered place of this cursor record, or null.
template <class Fam>
typename ResumePlaces<Fam>::Place *resumePlaceOf(const typename Fam::Info &cursor) {
    ResumePlaces<Fam> &rp = gResumePlaces<Fam>;
    for (uint32_t i = 0; i < rp.count; i++)
        if (std::memcmp(&rp.places[i].cursor, &cursor, sizeof cursor) == 0) return &rp.places[i];
    return nullptr;
}

// Remembers that a request with this cursor goes on at `at`. When all
// places are taken, the one remembered longest ago gives way: a page just
// handed out must keep its places.
template <class Fam>
void resumeRemember(const typename Fam::Info &cursor, typename Fam::Node *at) {
    ResumePlaces<Fam> &rp = gResumePlaces<Fam>;
    typename ResumePlaces<Fam>::Place *p = resumePlaceOf<Fam>(cursor);
    if (p == nullptr) {
        p = &rp.places[0];
        if (rp.count < kResumePlaces)
            p = &rp.places[rp.count++];
        else
            for (auto &q : rp.places)
                if (rp.clock - q.used > rp.clock - p->used) p = &q;  // ages, wrap-safe
        std::memcpy(&p->cursor, &cursor, sizeof cursor);
    }
    p->at = at;
    p->used = ++rp.clock;
}

// Called before `node` leaves its index: places at it move to the node
// after it. One test when no place is remembered.
template <class Fam>
void resumeOnRemove(typename Fam::Node *node) {
    ResumePlaces<Fam> &rp = gResumePlaces<Fam>;
    if (rp.count == 0) return;
    for (uint32_t i = 0; i < rp.count; i++)
        if (rp.places[i].at == node) rp.places[i].at = successor<Fam>(node);
}

// Forgets every place of the family (the table is emptied).
template <class Fam>
void resumeForget() {
    gResumePlaces<Fam>.count = 0;
}

}  // namespace ipam
