/* Semaphores: handles index a fixed table of re-entrant mutexes, so a handle
 * stays valid for the life of the process and is found without a lock. */
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "export.h"
#include "fault.h"
#include "platform/gnl_sem.h"

namespace {

/* A re-entrant mutex whose waits can time out. */
struct Slot {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner{};
    uint32_t depth = 0;
    uint32_t waiters = 0;
    bool abandoned = false; /* a give of the holder's was refused by an injected fault */
};

/* Far more handles than a process of this platform makes; a handle that is
 * re-initialised keeps its slot. */
constexpr uint32_t kMaxSlots = 1024;

std::mutex g_table_lock; /* serialises handing out slots */
std::atomic<uint32_t> g_used{0};

/* Never destroyed (reachable from a static): threads may still use a handle
 * while the process exits. Slot i+1 is handle i+1; handle 0 is never given. */
Slot *table() {
    static auto *slots = new Slot[kMaxSlots];
    return slots;
}

Slot *lookup(const gnl_sem_t *sem) {
    if (sem == nullptr || sem->id == 0 || sem->id > g_used.load(std::memory_order_acquire))
        return nullptr;
    return &table()[sem->id - 1];
}

}  // namespace

/* Initialises *sem: reuses the slot it already names, else takes a new one.
 * A reused lock starts free unless another thread holds it and can still
 * give it back: that hold stands, and the caller's next take waits for it,
 * as two threads inside one lock would race. A hold whose give was refused
 * (an injected fault) can never end and is dropped, as is the caller's own. */
IPAMPLAT_API int32_t gnl_sem_mutex_init(const char *name, gnl_sem_t *sem) {
    (void)name;
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_INIT, &failed)) return failed;
    if (sem == nullptr) return -1;
    if (Slot *slot = lookup(sem)) {
        std::lock_guard<std::mutex> guard(slot->m);
        if (slot->depth > 0 && !slot->abandoned && slot->owner != std::this_thread::get_id())
            return 0;
        slot->owner = std::thread::id{};
        slot->depth = 0;
        slot->abandoned = false;
        slot->cv.notify_all();
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_table_lock);
    table(); /* the slots exist before any handle names them */
    uint32_t used = g_used.load(std::memory_order_relaxed);
    if (used == kMaxSlots) return -1;
    g_used.store(used + 1, std::memory_order_release);
    sem->id = used + 1;
    return 0;
}

/* Takes the lock; the holder may take it again at once. timeout <= 0 waits
 * forever, a positive timeout waits that many ms and answers -1 after. */
IPAMPLAT_API int32_t gnl_sem_take(gnl_sem_t *sem, int32_t timeout) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_TAKE, &failed)) return failed;
    Slot *slot = lookup(sem);
    if (slot == nullptr) return -1;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(slot->m);
    if (slot->depth > 0 && slot->owner == self) {
        ++slot->depth;
        return 0;
    }
    auto is_free = [slot] { return slot->depth == 0; };
    ++slot->waiters;
    bool got = true;
    if (timeout > 0)
        got = slot->cv.wait_for(lock, std::chrono::milliseconds(timeout), is_free);
    else
        slot->cv.wait(lock, is_free);
    --slot->waiters;
    if (!got) return -1;
    slot->owner = self;
    slot->depth = 1;
    return 0;
}

/* Releases one level of the caller's hold; -1 when the caller holds none. */
IPAMPLAT_API int32_t gnl_sem_give(gnl_sem_t *sem) {
    int32_t failed = 0;
    Slot *slot = lookup(sem);
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_GIVE, &failed)) {
        if (slot != nullptr) {
            std::lock_guard<std::mutex> guard(slot->m);
            if (slot->depth > 0 && slot->owner == std::this_thread::get_id())
                slot->abandoned = true;
        }
        return failed;
    }
    if (slot == nullptr) return -1;
    std::lock_guard<std::mutex> guard(slot->m);
    if (slot->depth == 0 || slot->owner != std::this_thread::get_id()) return -1;
    if (--slot->depth == 0) {
        slot->owner = std::thread::id{};
        slot->abandoned = false;
        if (slot->waiters > 0) slot->cv.notify_one();
    }
    return 0;
}
