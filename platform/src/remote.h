/* Cross-process mode of the stand-in platform (IPAM_PLATFORM_RUNDIR): the
 * background threads that carry a service's traffic to and from other
 * processes. */
#ifndef IPAMPLAT_REMOTE_H
#define IPAMPLAT_REMOTE_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ipamplat {

/* The runtime directory (created 0700 with its parents when missing), or
 * empty when cross-process mode is off. *usable is false when the mode is
 * on but the directory cannot be made or is unsafe to use (logged): the
 * service must then refuse rather than fall back to in-process mode. */
std::string remote_dir(bool *usable = nullptr);

/* What the subscriber side of publish/subscribe sees, for the management
 * listener's status answer. */
struct SubStatus {
    bool registered = false;
    uint32_t module = 0;
    bool connected = false; /* a publisher connection is up */
    bool in_batch = false;  /* a Start came and its End did not yet */
    uint32_t batches = 0;   /* batches ended since the registration */
};
SubStatus ps_status();

/* A thread with a wake-up pipe: stop() makes wake_fd() readable and joins.
 * A thread that cannot be joined where it is stopped (its stopper runs on
 * a thread it waits for) is parked and joined later: by the next start of
 * any link or at process exit. */
class Link {
public:
    Link();
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    /* Runs body on the link's thread; false (nothing started) when the
     * wake-up pipe could not be made: stop() could never wake it. */
    bool start(std::function<void()> body);
    bool stopping() const { return stop_.load(std::memory_order_relaxed); }
    int wake_fd() const { return wake_[0]; }
    /* Sleeps up to ms; false when woken for stop. */
    bool nap(int ms) const;
    /* The body has returned: a join would not wait. */
    bool ended() const { return ended_.load(std::memory_order_acquire); }

private:
    friend void stop_link(std::unique_ptr<Link> link, bool may_join);
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    int wake_[2] = {-1, -1};
    int wake_err_ = 0;
    std::thread thread_;
};

/* Stops `link`; joins it now when may_join, else parks it. */
void stop_link(std::unique_ptr<Link> link, bool may_join);

/* A service's current link. Declare it after the worker its thread hands
 * jobs to: it is then stopped at exit while that worker still exists. */
struct LinkSlot {
    std::mutex lock;
    std::unique_ptr<Link> link;
    ~LinkSlot() { stop_link(std::move(link), true); }
};

}  // namespace ipamplat

#endif
