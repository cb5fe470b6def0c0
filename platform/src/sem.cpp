/* Semaphores: handles index a table of re-entrant mutexes that never
 * shrinks, so a handle stays valid for the life of the process. */
#include <chrono>
#include <condition_variable>
#include <deque>
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
};

std::mutex g_table_lock;

/* Never destroyed (reachable from a static): threads may still use a handle
 * while the process exits. Slot i+1 is handle i+1; handle 0 is never given. */
std::deque<Slot> &table() {
    static auto *slots = new std::deque<Slot>();
    return *slots;
}

Slot *lookup(const gnl_sem_t *sem) {
    if (sem == nullptr || sem->id == 0)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_table_lock);
    std::deque<Slot> &t = table();
    if (sem->id > t.size())
        return nullptr;
    return &t[sem->id - 1];
}

} // namespace

/* Initialises *sem: reuses the slot it already names, else takes a new one.
 * The lock starts free. */
IPAMPLAT_API int32_t gnl_sem_mutex_init(const char *name, gnl_sem_t *sem) {
    (void)name;
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_INIT, &failed))
        return failed;
    if (sem == nullptr)
        return -1;
    if (Slot *slot = lookup(sem)) {
        std::lock_guard<std::mutex> guard(slot->m);
        slot->owner = std::thread::id{};
        slot->depth = 0;
        slot->cv.notify_all();
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_table_lock);
    std::deque<Slot> &t = table();
    t.emplace_back();
    sem->id = static_cast<uint32_t>(t.size());
    return 0;
}

/* Takes the lock; the holder may take it again at once. timeout <= 0 waits
 * forever, a positive timeout waits that many ms and answers -1 after. */
IPAMPLAT_API int32_t gnl_sem_take(gnl_sem_t *sem, int32_t timeout) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_TAKE, &failed))
        return failed;
    Slot *slot = lookup(sem);
    if (slot == nullptr)
        return -1;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(slot->m);
    if (slot->depth > 0 && slot->owner == self) {
        ++slot->depth;
        return 0;
    }
    auto is_free = [slot] { return slot->depth == 0; };
    if (timeout > 0) {
        if (!slot->cv.wait_for(lock, std::chrono::milliseconds(timeout), is_free))
            return -1;
    } else {
        slot->cv.wait(lock, is_free);
    }
    slot->owner = self;
    slot->depth = 1;
    return 0;
}

/* Releases one level of the caller's hold; -1 when the caller holds none. */
IPAMPLAT_API int32_t gnl_sem_give(gnl_sem_t *sem) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SEM_GIVE, &failed))
        return failed;
    Slot *slot = lookup(sem);
    if (slot == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(slot->m);
    if (slot->depth == 0 || slot->owner != std::this_thread::get_id())
        return -1;
    if (--slot->depth == 0) {
        slot->owner = std::thread::id{};
        slot->cv.notify_one();
    }
    return 0;
}
