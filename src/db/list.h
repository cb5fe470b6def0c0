// Circular doubly linked list with a sentinel head (the shape of the Linux
// kernel's list.h): entries are appended at the tail, so a list is in
// insertion order; an unlinked entry carries the poison values.
#pragma once

#include <cstddef>

#include "ipam_db.h"

namespace ipam {

inline void listInit(IpamListLink *head) { head->next = head->prev = head; }

inline bool listEmpty(const IpamListLink *head) { return head->next == head; }

inline void listAppend(IpamListLink *head, IpamListLink *entry) {
    entry->prev = head->prev;
    entry->next = head;
    head->prev->next = entry;
    head->prev = entry;
}

inline void listDel(IpamListLink *entry) {
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
    entry->next = IPAM_LIST_POISON1;
    entry->prev = IPAM_LIST_POISON2;
}

// The node that holds `member` at byte offset `offset`.
template <class Node, class Member>
inline Node *containerOf(Member *member, size_t offset) {
    return reinterpret_cast<Node *>(reinterpret_cast<char *>(member) - offset);
}

// The address node whose ifLink is `link`.
template <class Node>
inline Node *nodeOfIfLink(IpamListLink *link) {
    return containerOf<Node>(link, offsetof(Node, ifLink));
}

}  // namespace ipam
