#pragma once

#include <cstddef>

// A contiguous, zero-based array of doubles holding one signal in the units of 16-bit sample
// values, created filled with 0 and owned by one stage at a time (it moves, it never copies).
// Large buffers come straight from the system (the largest in huge pages), so that creating one
// costs no more than the memory it touches.
class SampleBuffer {
  public:
    SampleBuffer() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit SampleBuffer(std::size_t size);
    SampleBuffer(SampleBuffer&& other) noexcept;
    SampleBuffer& operator=(SampleBuffer&& other) noexcept;
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;
    ~SampleBuffer();

    double* data() { return data_; }
    const double* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    double& operator[](std::size_t index) { return data_[index]; }
    const double& operator[](std::size_t index) const { return data_[index]; }
    double* begin() { return data_; }
    double* end() { return data_ + size_; }
    const double* begin() const { return data_; }
    const double* end() const { return data_ + size_; }

    // Gives the memory back now.
    void release();

  private:
    double* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // set when the memory came from mmap
    std::size_t mappedBytes_ = 0;
};
