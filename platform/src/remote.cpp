/* Background links of the cross-process mode. */
#include "remote.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "link.h"

namespace ipamplat {

namespace {

/* Links stopped from a thread they wait for; joined later. Destroyed at
 * exit before the service workers (declared in other files, constructed
 * earlier is not guaranteed), so the join happens in an explicit sweep. */
struct Parked {
    std::mutex lock;
    std::vector<std::unique_ptr<Link>> links;
    ~Parked() {
        std::vector<std::unique_ptr<Link>> all;
        {
            std::lock_guard<std::mutex> guard(lock);
            all.swap(links);
        }
        all.clear();
    }
};

Parked &parked() {
    static Parked p;
    return p;
}

/* Joins the parked links whose threads have ended; the others stay parked
 * for a later sweep. A thread still running may be the very one below us
 * on this stack (a callback it ran stopped it and started another link),
 * or one waiting for the job this thread runs (its run was queued behind
 * the callback that subscribes again): joining either would never return.
 * Stopped and woken, they end soon. */
void sweep_parked() {
    /* Declared before the guard: joined once the lock is released. */
    std::vector<std::unique_ptr<Link>> all;
    std::lock_guard<std::mutex> guard(parked().lock);
    std::vector<std::unique_ptr<Link>> keep;
    for (std::unique_ptr<Link> &link : parked().links) {
        if (link->ended())
            all.push_back(std::move(link));
        else
            keep.push_back(std::move(link));
    }
    parked().links.swap(keep);
}

}  // namespace

std::string remote_dir(bool *usable) {
    if (usable != nullptr) *usable = true;
    std::string dir = ipamwire::runDir();
    if (dir.empty()) return dir;
    std::string why;
    if (!ipamwire::ensureRunDir(dir, &why)) {
        ipamwire::logError("cannot use the runtime directory %s: %s", dir.c_str(), why.c_str());
        if (usable != nullptr) *usable = false;
        return std::string();
    }
    return dir;
}

Link::Link() {
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        wake_err_ = errno;
        wake_[0] = wake_[1] = -1;
    }
}

Link::~Link() {
    stop_.store(true, std::memory_order_relaxed);
    if (wake_[1] >= 0) {
        const char c = 1;
        ssize_t n = write(wake_[1], &c, 1);
        (void)n;
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

bool Link::start(std::function<void()> body) {
    sweep_parked();
    if (wake_[0] < 0) {
        ipamwire::logError("cannot start a link: no wake-up pipe: %s", strerror(wake_err_));
        return false;
    }
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        ended_.store(true, std::memory_order_release);
    });
    return true;
}

bool Link::nap(int ms) const {
    return ipamwire::waitReadable(wake_[0], -1, ms) == 0 && !stopping();
}

void stop_link(std::unique_ptr<Link> link, bool may_join) {
    if (!link) return;
    link->stop_.store(true, std::memory_order_relaxed);
    if (link->wake_[1] >= 0) {
        const char c = 1;
        ssize_t n = write(link->wake_[1], &c, 1);
        (void)n;
    }
    if (may_join) {
        link.reset();
        return;
    }
    std::lock_guard<std::mutex> guard(parked().lock);
    parked().links.push_back(std::move(link));
}

}  // namespace ipamplat
