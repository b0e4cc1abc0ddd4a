#include "dsp/sample_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every buffer comes from the checked heap.
constexpr std::size_t kMappedFrom = SIZE_MAX;
#else
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
#endif

// Only the 144-fold signal is asked for in huge pages. They make its first touch far cheaper
// where the system has them ready, but fresh ones can be slow to come by (a virtual machine's
// host may have to back them first), which the small buffers are not worth waiting for.
constexpr std::size_t kHugeFrom = std::size_t{256} << 20;

std::size_t roundUp(std::size_t value, std::size_t step) {
    return (value + step - 1) / step * step;
}

}  // namespace

SampleBuffer::SampleBuffer(std::size_t size) : size_(size) {
    if (size == 0) {
        return;
    }
    if (size > SIZE_MAX / sizeof(double) / 2) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = size * sizeof(double);
    if (bytes < kMappedFrom) {
        data_ = static_cast<double*>(std::calloc(size, sizeof(double)));
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
        return;
    }
    // Fresh anonymous pages are zero. Map a little more so the array can start on a huge page.
    mappedBytes_ = roundUp(bytes, kHugePage) + kHugePage;
    mapping_ =
        ::mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapping_);
    data_ = reinterpret_cast<double*>(roundUp(start, kHugePage));
    if (bytes >= kHugeFrom) {
        ::madvise(data_, roundUp(bytes, kHugePage), MADV_HUGEPAGE);
    }
}

SampleBuffer::SampleBuffer(SampleBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mappedBytes_(std::exchange(other.mappedBytes_, 0)) {}

SampleBuffer& SampleBuffer::operator=(SampleBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappedBytes_ = std::exchange(other.mappedBytes_, 0);
    }
    return *this;
}

SampleBuffer::~SampleBuffer() {
    release();
}

void SampleBuffer::release() {
    if (mapping_ != nullptr) {
        ::munmap(mapping_, mappedBytes_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapping_ = nullptr;
    mappedBytes_ = 0;
}
