/* A service thread: runs jobs one at a time, in the order they were given.
 * Started by the first job; stopped and joined when the object is destroyed
 * (at process exit for the services' static workers). */
#ifndef IPAMPLAT_WORKER_H
#define IPAMPLAT_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ipamplat {

class Worker {
public:
    using Job = std::function<void()>;

    Worker() = default;
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    /* Stops after the running job; queued jobs are dropped. */
    ~Worker();

    /* Queues a job behind every job given before. */
    void post(Job job);
    /* Queues a job and waits until it has run. Called on the worker thread
     * itself (from inside a job) it runs the job at once, so that a job can
     * never wait for itself. */
    void run_sync(Job job);
    /* Runs a job on the calling thread in the worker's stead when nothing is
     * queued or running: jobs given meanwhile wait behind it as they would
     * behind one of the worker's own, and the caller counts as the worker
     * thread until it returns. Otherwise as run_sync. Spares a caller that
     * would only wait the wake-up of another thread and the one back. */
    void run_here(Job job);
    /* Waits until every job queued so far has run (returns at once on the
     * worker thread). */
    void drain();
    /* True on the worker's own thread, and on a thread inside run_here. */
    bool on_worker_thread();

private:
    void start_locked();
    /* The calling thread is the worker's or the one inside run_here. */
    bool mine_locked() const;
    /* run_sync, or with `borrow` run_here. */
    void run(Job job, bool borrow);
    void loop();

    std::mutex lock_;
    std::condition_variable wake_; /* a job arrived, or stop */
    std::condition_variable idle_; /* a job finished */
    std::deque<Job> queue_;
    std::thread thread_;
    std::thread::id thread_id_{};
    unsigned long long posted_ = 0; /* jobs ever queued */
    unsigned long long done_ = 0;   /* jobs finished or dropped */
    bool busy_ = false;             /* the worker thread runs a job */
    std::thread::id borrower_{};    /* a thread running a job in run_here */
    bool stop_ = false;
};

}  // namespace ipamplat

#endif
