#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A fixed set of threads for passes that hand out the same kind of work many times over: each
// round runs `task(part)` for part 0 .. partCount() - 1, part 0 on the calling thread, and returns
// when all parts are done. The threads live as long as the object, so a round costs a wake-up
// rather than a thread start.
class BlockWorkers {
  public:
    // Up to threadCount - 1 helper threads; fewer if the system gives fewer.
    explicit BlockWorkers(int threadCount);
    ~BlockWorkers();
    BlockWorkers(const BlockWorkers&) = delete;
    BlockWorkers& operator=(const BlockWorkers&) = delete;

    int partCount() const { return static_cast<int>(helpers_.size()) + 1; }
    void runRound(const std::function<void(int)>& task);

  private:
    void helperLoop(int part);

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable roundStarted_;
    std::condition_variable roundFinished_;
    const std::function<void(int)>* task_ = nullptr;
    std::uint64_t round_ = 0;
    int busy_ = 0;
    bool stopping_ = false;
};
