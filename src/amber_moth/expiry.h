// Time-to-live expiry for the store (lru_cache.cpp): each entry's deadline, and the entries
// that have one, in a list kept in deadline order.
//
// The deadlines live in an array of ExpirySlot parallel to the node pool (slot i belongs to
// node i), allocated the first time the store needs one (expiry_new) and never for a store
// whose entries never expire. An entry without a deadline is not listed; a listed slot links
// to its neighbours in deadline order, equal deadlines in the order they were set, the list
// being circular so that the store keeps only its first slot. Links are a slot's position
// plus one, so that 0 is "none" and a zeroed slot is unlisted: calloc makes every slot so,
// and pages are touched only as entries get deadlines.
//
// Cost. Setting a deadline walks from the last listed slot towards the first past the later
// deadlines: with one time-to-live and a clock that does not go back, a new deadline is the
// latest and the walk stops at once; a deadline earlier than k listed ones costs k steps.
// Taking the due entries out (expiry_first_due) reads only the first slot each time: no live
// entry is ever scanned.
//
// Time is a double, in seconds, as the timer gives it: `now` is always finite (the caller
// refuses other readings), and a deadline that overflows to infinity is kNever.
#ifndef AMBER_MOTH_EXPIRY_H
#define AMBER_MOTH_EXPIRY_H

#include "lru_cache.h"

#include <cstdint>
#include <limits>

struct ExpirySlot {
    double deadline;  // meaningful while listed
    uint32_t prev;    // position + 1 of the previous slot in deadline order (the last one's,
                      // for the first); 0 while unlisted
    uint32_t next;    // position + 1 of the next slot (the first one's, for the last); 0 while
                      // unlisted
};
static_assert(sizeof(ExpirySlot) == 16, "expiry costs at most 16 bytes per unit of capacity");

// The deadline of an entry that never expires.
constexpr double kNever = std::numeric_limits<double>::infinity();

// The largest store whose slots links can name.
constexpr uint64_t kMaxExpiryCapacity = UINT32_MAX - 1;

// The deadline list of a store: its slots and the link to the first (0 when empty).
struct DeadlineList {
    ExpirySlot *slots;
    uint32_t &first;
};

// A new array of `capacity` unlisted slots, or null when it cannot be had (or the capacity
// is beyond what links can name). From the interpreter's raw allocator, which needs no GIL
// and runs no Python code, so that tracemalloc sees it.
[[nodiscard]] inline ExpirySlot *expiry_new(uint64_t capacity) {
    return capacity <= kMaxExpiryCapacity
               ? static_cast<ExpirySlot *>(PyMem_RawCalloc(capacity, sizeof(ExpirySlot)))
               : nullptr;
}

inline void expiry_free(ExpirySlot *slots) {
    PyMem_RawFree(slots);
}

[[nodiscard]] inline bool expiry_listed(DeadlineList list, uint64_t i) {
    return list.slots[i].next != 0;
}

// Takes slot i out of the list, if it is listed.
inline void expiry_forget(DeadlineList list, uint64_t i) {
    ExpirySlot &s = list.slots[i];
    if (s.next == 0) {
        return;
    }
    const auto link = static_cast<uint32_t>(i + 1);
    if (s.next == link) {
        list.first = 0;  // it was the only one
    } else {
        list.slots[s.prev - 1].next = s.next;
        list.slots[s.next - 1].prev = s.prev;
        if (list.first == link) {
            list.first = s.next;
        }
    }
    s.prev = 0;
    s.next = 0;
}

// Gives slot i the deadline `deadline` (kNever: none), placing it after every listed slot
// whose deadline is not later.
inline void expiry_set(DeadlineList list, uint64_t i, double deadline) {
    expiry_forget(list, i);
    if (deadline == kNever) {
        return;
    }
    ExpirySlot &s = list.slots[i];
    const auto link = static_cast<uint32_t>(i + 1);
    s.deadline = deadline;
    if (list.first == 0) {
        s.prev = link;
        s.next = link;
        list.first = link;
        return;
    }
    // Walks back from the last slot past those whose deadline is later.
    const uint32_t last = list.slots[list.first - 1].prev;
    uint32_t after = last;
    while (list.slots[after - 1].deadline > deadline) {
        if (after == list.first) {
            after = 0;  // earlier than every listed deadline: s becomes the first
            break;
        }
        after = list.slots[after - 1].prev;
    }
    const uint32_t before = after != 0 ? list.slots[after - 1].next : list.first;
    const uint32_t prev = after != 0 ? after : last;
    s.prev = prev;
    s.next = before;
    list.slots[prev - 1].next = link;
    list.slots[before - 1].prev = link;
    if (after == 0) {
        list.first = link;
    }
}

// The position of the slot with the earliest deadline when that deadline is not after
// `now` (the entry is due), else -1.
[[nodiscard]] inline int64_t expiry_first_due(DeadlineList list, double now) {
    return list.first != 0 && list.slots[list.first - 1].deadline <= now
               ? static_cast<int64_t>(list.first) - 1
               : -1;
}

// The listed positions in deadline order: calls visit(i) for each, first to last, as long as
// it returns true. visit must not change the list.
template <class Visit>
void expiry_walk(DeadlineList list, Visit &&visit) {
    if (list.first == 0) {
        return;
    }
    uint32_t link = list.first;
    do {
        if (!visit(static_cast<uint64_t>(link - 1))) {
            return;
        }
        link = list.slots[link - 1].next;
    } while (link != list.first);
}

#endif  // AMBER_MOTH_EXPIRY_H
