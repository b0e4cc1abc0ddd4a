#include "dsp/buffer_reservation.hpp"

#include <new>
#include <utility>

namespace {

// The maker needs next to no stack; a small one keeps it from taking the address space that the
// buffers need, whatever stack size new threads get by default.
constexpr std::size_t kMakerStack = std::size_t{256} << 10;

void touchEveryPage(SampleBuffer& buffer) {
    constexpr std::size_t kPageElements = 4096 / sizeof(double);
    volatile double* data = buffer.data();
    for (std::size_t i = 0; i < buffer.size(); i += kPageElements) {
        data[i] = 0.0;
    }
}

}  // namespace

BufferReservation::BufferReservation(std::size_t size) : size_(size) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return;  // no thread: the stage makes its buffer when it needs it
    }
    pthread_attr_setstacksize(&attributes, kMakerStack);
    running_ = pthread_create(&maker_, &attributes, &BufferReservation::make, this) == 0;
    pthread_attr_destroy(&attributes);
}

BufferReservation::~BufferReservation() {
    join();
}

void* BufferReservation::make(void* reservation) {
    auto* self = static_cast<BufferReservation*>(reservation);
    try {
        SampleBuffer buffer(self->size_);
        touchEveryPage(buffer);
        self->buffer_ = std::move(buffer);
    } catch (const std::bad_alloc&) {
        // left empty
    }
    return nullptr;
}

void BufferReservation::join() {
    if (running_) {
        pthread_join(maker_, nullptr);
        running_ = false;
    }
}

SampleBuffer BufferReservation::take() {
    join();
    return std::move(buffer_);
}
