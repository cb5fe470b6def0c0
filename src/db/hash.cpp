#include "db/hash.h"

#include <cstring>

#include "common/bytes.h"

namespace ipam {

uint32_t lookup2Bytes(const uint8_t *k, uint32_t length, uint32_t initval) {
    uint32_t x = kGolden, y = kGolden, z = initval;
    uint32_t len = length;
    auto word = [](const uint8_t *p) {
        return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
               (uint32_t{p[3]} << 24);
    };
    while (len >= 12) {
        x += word(k);
        y += word(k + 4);
        z += word(k + 8);
        lookup2Mix(x, y, z);
        k += 12;
        len -= 12;
    }
    z += length;
    switch (len) {  // each case adds its byte, then falls through to the lower ones
    case 11:
        z += uint32_t{k[10]} << 24;
        [[fallthrough]];
    case 10:
        z += uint32_t{k[9]} << 16;
        [[fallthrough]];
    case 9:
        z += uint32_t{k[8]} << 8;
        [[fallthrough]];
    case 8:
        y += uint32_t{k[7]} << 24;
        [[fallthrough]];
    case 7:
        y += uint32_t{k[6]} << 16;
        [[fallthrough]];
    case 6:
        y += uint32_t{k[5]} << 8;
        [[fallthrough]];
    case 5:
        y += k[4];
        [[fallthrough]];
    case 4:
        x += uint32_t{k[3]} << 24;
        [[fallthrough]];
    case 3:
        x += uint32_t{k[2]} << 16;
        [[fallthrough]];
    case 2:
        x += uint32_t{k[1]} << 8;
        [[fallthrough]];
    case 1:
        x += k[0];
        break;
    default:
        break;
    }
    lookup2Mix(x, y, z);
    return z;
}

void hashInsert(IpamHashTable *t, void *node) { hashInsertHashed(t, node, t->hashFn(node)); }

void hashInsertHashed(IpamHashTable *t, void *node, uint32_t hash) {
    IpamHashLink *link = hashLinkOf(t, node);
    link->hash = hash;
    IpamHashLink **slot = &t->buckets[link->hash % t->bucketCount];
    link->prev = nullptr;
    link->next = *slot;
    if (*slot) (*slot)->prev = link;
    *slot = link;
    t->count++;
}

void hashRemove(IpamHashTable *t, void *node) {
    IpamHashLink *link = hashLinkOf(t, node);
    if (link->prev)
        link->prev->next = link->next;
    else
        t->buckets[link->hash % t->bucketCount] = link->next;
    if (link->next) link->next->prev = link->prev;
    t->count--;
}

void *hashFindFirst(const IpamHashTable *t, const void *key) {
    for (IpamHashLink *l = t->buckets[t->hashFn(key) % t->bucketCount]; l; l = l->next) {
        void *n = hashNodeOf(t, l);
        if (t->compareFn(key, n) == 0) return n;
    }
    return nullptr;
}

void *hashFindNext(const IpamHashTable *t, const void *node) {
    for (IpamHashLink *l = hashLinkOf(t, node)->next; l; l = l->next) {
        void *n = hashNodeOf(t, l);
        if (t->compareFn(node, n) == 0) return n;
    }
    return nullptr;
}

IpamHashLink *hashIterFirstFrom(const IpamHashTable *t, uint32_t bucket) {
    for (uint32_t b = bucket; b < t->bucketCount; b++)
        if (t->buckets[b]) return t->buckets[b];
    return nullptr;
}

IpamHashLink *hashIterFirst(const IpamHashTable *t) { return hashIterFirstFrom(t, 0); }

IpamHashLink *hashIterNext(const IpamHashTable *t, const IpamHashLink *link) {
    if (link->next) return link->next;
    return hashIterFirstFrom(t, link->hash % t->bucketCount + 1);
}

}  // namespace ipam
