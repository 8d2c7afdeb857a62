// The supervisor's pool of round-trip threads.
#include "worker_pool.hh"

worker_pool::~worker_pool()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto &thread : threads_) {
        thread.join();
    }
}

void worker_pool::run(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(lock_);
    jobs_.push_back(std::move(job));
    // Each queued job has an idle thread of its own, so none waits for
    // another job's round trip.
    if (idle_ >= static_cast<int>(jobs_.size())) {
        wake_.notify_one();
    } else {
        threads_.emplace_back(&worker_pool::serve, this);
    }
}

void worker_pool::serve()
{
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty()) {
            return;  // stopping, and nothing left to do
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}
