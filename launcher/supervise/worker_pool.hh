// Threads that run the supervisor's round trips: as many as are ever busy at
// once, each kept for the next job rather than started afresh per call.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class worker_pool {
public:
    worker_pool() = default;
    worker_pool(const worker_pool &) = delete;
    worker_pool &operator=(const worker_pool &) = delete;
    // Runs the jobs still queued, then ends every thread.
    ~worker_pool();

    // Runs job on an idle thread, or on a new one when none is idle.
    void run(std::function<void()> job);

private:
    void serve();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    int idle_ = 0;
    bool stopping_ = false;
};
