#pragma once

#include <pthread.h>

#include <cstddef>

#include "dsp/sample_buffer.hpp"

// The chain's largest buffer, made ahead of time on a thread of its own while the user is still
// answering questions: fresh memory can take longer for the system to hand over than the whole
// computation that fills it. Whatever happens here only changes when that cost is paid.
class BufferReservation {
  public:
    BufferReservation() = default;
    // Starts making a buffer of `size` doubles, every page of it touched.
    explicit BufferReservation(std::size_t size);
    ~BufferReservation();
    BufferReservation(const BufferReservation&) = delete;
    BufferReservation& operator=(const BufferReservation&) = delete;

    std::size_t size() const { return size_; }
    // Waits until the buffer is made and hands it over: all zeros, or empty when the memory
    // could not be had (the stage then asks for its own and reports the failure itself).
    SampleBuffer take();

  private:
    static void* make(void* reservation);
    void join();

    std::size_t size_ = 0;
    SampleBuffer buffer_;
    pthread_t maker_{};
    bool running_ = false;
};
