#include "dsp/block_workers.hpp"

#include <algorithm>
#include <system_error>

BlockWorkers::BlockWorkers(int threadCount) {
    const int helpers = std::clamp(threadCount, 1, 256) - 1;
    helpers_.reserve(static_cast<std::size_t>(helpers));
    for (int part = 1; part <= helpers; ++part) {
        try {
            helpers_.emplace_back([this, part] { helperLoop(part); });
        } catch (const std::system_error&) {
            break;  // fewer threads only take longer
        }
    }
}

BlockWorkers::~BlockWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    roundStarted_.notify_all();
    for (std::thread& helper : helpers_) {
        helper.join();
    }
}

void BlockWorkers::runRound(const std::function<void(int)>& task) {
    if (helpers_.empty()) {
        task(0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        busy_ = static_cast<int>(helpers_.size());
        ++round_;
    }
    roundStarted_.notify_all();
    task(0);
    std::unique_lock<std::mutex> lock(mutex_);
    roundFinished_.wait(lock, [this] { return busy_ == 0; });
    task_ = nullptr;
}

void BlockWorkers::helperLoop(int part) {
    std::uint64_t seen = 0;
    for (;;) {
        const std::function<void(int)>* task = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            roundStarted_.wait(lock, [&] { return stopping_ || round_ != seen; });
            if (stopping_) {
                return;
            }
            seen = round_;
            task = task_;
        }
        (*task)(part);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
        }
        roundFinished_.notify_one();
    }
}
