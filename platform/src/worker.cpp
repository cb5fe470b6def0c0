/* Service threads of the stand-in platform. */
#include "worker.h"

#include <utility>

namespace ipamplat {

Worker::~Worker() {
    std::unique_lock<std::mutex> lock(lock_);
    stop_ = true;
    done_ += queue_.size();
    queue_.clear();
    wake_.notify_all();
    idle_.notify_all();
    if (!thread_.joinable()) return;
    /* exit() called from inside a job: the thread cannot join itself. */
    const bool self = std::this_thread::get_id() == thread_id_;
    lock.unlock();
    if (self)
        thread_.detach();
    else
        thread_.join();
}

void Worker::start_locked() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { loop(); });
    thread_id_ = thread_.get_id();
}

void Worker::loop() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        wake_.wait(lock,
                   [this] { return stop_ || (!queue_.empty() && borrower_ == std::thread::id()); });
        if (stop_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        job();
        job = nullptr; /* release what the job captured outside the lock */
        lock.lock();
        busy_ = false;
        ++done_;
        idle_.notify_all();
    }
}

void Worker::post(Job job) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stop_) return;
    start_locked();
    queue_.push_back(std::move(job));
    ++posted_;
    wake_.notify_one();
}

bool Worker::mine_locked() const {
    const std::thread::id me = std::this_thread::get_id();
    return (thread_.joinable() && me == thread_id_) || me == borrower_;
}

void Worker::run_sync(Job job) { run(std::move(job), false); }

void Worker::run_here(Job job) { run(std::move(job), true); }

void Worker::run(Job job, bool borrow) {
    std::unique_lock<std::mutex> lock(lock_);
    if (stop_) return;
    if (mine_locked()) {
        lock.unlock();
        job();
        return;
    }
    if (borrow && !busy_ && queue_.empty() && borrower_ == std::thread::id()) {
        borrower_ = std::this_thread::get_id();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        borrower_ = std::thread::id();
        if (!queue_.empty()) wake_.notify_one();
        return;
    }
    start_locked();
    queue_.push_back(std::move(job));
    const unsigned long long ticket = ++posted_;
    wake_.notify_one();
    idle_.wait(lock, [this, ticket] { return stop_ || done_ >= ticket; });
}

void Worker::drain() {
    std::unique_lock<std::mutex> lock(lock_);
    if (mine_locked()) return;
    const unsigned long long target = posted_;
    idle_.wait(lock, [this, target] { return stop_ || done_ >= target; });
}

bool Worker::on_worker_thread() {
    std::lock_guard<std::mutex> guard(lock_);
    return mine_locked();
}

}  // namespace ipamplat
