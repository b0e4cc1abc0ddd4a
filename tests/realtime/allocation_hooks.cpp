// Replacements of the allocation functions that count the calls made while counting is on (see
// tests/support/allocation_counter.hpp). The program exports them (ENABLE_EXPORTS), so that a
// shared object it loads calls these too.

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/support/allocation_counter.hpp"

namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> calls{0};

// Apart, so that a debugger can stop where memory is taken: `break counted`.
[[gnu::noinline]] void counted() {
    calls.fetch_add(1, std::memory_order_relaxed);
}

void note() {
    if (counting.load(std::memory_order_relaxed)) {
        counted();
    }
}

void* take(std::size_t size) {
    note();
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* takeAligned(std::size_t size, std::align_val_t alignment) {
    note();
    void* p = nullptr;
    if (::posix_memalign(&p, static_cast<std::size_t>(alignment), size == 0 ? 1 : size) == 0) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

namespace allocation_counter {

void start() {
    calls.store(0);
    counting.store(true);
}

std::int64_t stop() {
    counting.store(false);
    return calls.load();
}

}  // namespace allocation_counter

void* operator new(std::size_t size) {
    return take(size);
}
void* operator new[](std::size_t size) {
    return take(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return takeAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return takeAligned(size, alignment);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

// The C allocator, counted too where no sanitizer has put its own in its place: glibc's own
// functions do the work.
#if defined(__SANITIZE_ADDRESS__)
bool allocation_counter::countsMalloc() {
    return false;
}
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) noexcept {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    note();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    note();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}
void free(void* p) noexcept {
    __libc_free(p);
}
}

bool allocation_counter::countsMalloc() {
    return true;
}
#endif
