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
#include <type_traits>

#include "db/db.h"
#include "db/family.h"

namespace ipam {

// The node after `node` in its index's order, or null.
template <class Fam>
typename Fam::Node *successor(typename Fam::Node *node) {
    const IpamHashTable *t = &chainOf<Fam>();
    IpamHashLink *next = hashIterNext(t, hashLinkOf(t, node));
    return next ? static_cast<typename Fam::Node *>(hashNodeOf(t, next)) : nullptr;
}

// The family's places in the replica.
template <class Fam>
auto &resumePlacesOf() {
    if constexpr (std::is_same_v<Fam, Fam4>)
        return gReplica.resume4;
    else
        return gReplica.resume6;
}
template <class Fam>
using ResumePlace = typename ResumePlaces<typename Fam::Info, typename Fam::Node>::Place;

// The remembered place of this cursor record, or null.
template <class Fam>
ResumePlace<Fam> *resumePlaceOf(const typename Fam::Info &cursor) {
    auto &rp = resumePlacesOf<Fam>();
    for (uint32_t i = 0; i < rp.count; i++)
        if (std::memcmp(&rp.places[i].cursor, &cursor, sizeof cursor) == 0) return &rp.places[i];
    return nullptr;
}

// Remembers that a request with this cursor goes on at `at`. When all
// places are taken, the one remembered longest ago gives way: a page just
// handed out must keep its places.
template <class Fam>
void resumeRemember(const typename Fam::Info &cursor, typename Fam::Node *at) {
    auto &rp = resumePlacesOf<Fam>();
    ResumePlace<Fam> *p = resumePlaceOf<Fam>(cursor);
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
    auto &rp = resumePlacesOf<Fam>();
    if (rp.count == 0) return;
    for (uint32_t i = 0; i < rp.count; i++)
        if (rp.places[i].at == node) rp.places[i].at = successor<Fam>(node);
}

// Forgets every place of the family (the table is emptied).
template <class Fam>
void resumeForget() {
    resumePlacesOf<Fam>().count = 0;
}

}  // namespace ipam
