#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

// Growing a block leaves the new elements unset: every stage writes each element it adds before
// anything reads it, so clearing them first would only cost a pass over the memory.
template <typename T>
struct UnsetAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <typename U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// A block of samples handed from one stage to the next.
//
// The stages share one shape: a stage is set up once with its settings (the thread count among
// them); process() takes a block and appends to its output block every output that the input
// completes; finish() says that the input has ended and appends the outputs that remain; reset(),
// where a stage has one, takes it back to where set-up left it. Its state is its own.
using SampleBlock = std::vector<double, UnsetAllocator<double>>;
