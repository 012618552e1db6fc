#pragma once

// What one fuzz input makes a decoder allocate. A decoder may hold about as much as the bytes it
// reads; a count that turns each wire byte into a list entry many times its size, or memory kept
// across frames without a bound, makes the peak outgrow the input, and the target traps.
//
//     AllocationWatch watch;               // counts this thread's allocations from here on
//     channel.receive(frame);
//     watch.checkWithin(size, 4, 8 << 20); // peak <= 4 * size + 8 MiB
//
// The counting uses the sanitizer allocator's hooks, so the targets must be built with a sanitizer
// (the fuzz build always is).

#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>

namespace fuzzing {

class AllocationWatch {
public:
    AllocationWatch() {
        static const bool installed = install();
        (void)installed;
        live() = 0;
        peak() = 0;
        watching() = true;
    }
    ~AllocationWatch() { watching() = false; }

    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    // The most bytes allocated and not yet freed at any time since the watch began.
    std::int64_t peakBytes() const { return peak(); }

    void checkWithin(std::size_t inputSize, std::int64_t multiple, std::int64_t slack) const {
        if (peak() > multiple * std::int64_t(inputSize) + slack) {
            __builtin_trap();
        }
    }

private:
    static bool install() {
        __sanitizer_install_malloc_and_free_hooks(&onMalloc, &onFree);
        return true;
    }
    static void onMalloc(const volatile void*, std::size_t size) {
        if (watching()) {
            live() += std::int64_t(size);
            if (live() > peak()) {
                peak() = live();
            }
        }
    }
    static void onFree(const volatile void* pointer) {
        if (watching() && pointer) {
            // Memory from before the watch may go too: live counts what the watch added, net.
            live() -= std::int64_t(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
        }
    }
    static bool& watching() {
        static thread_local bool on = false;
        return on;
    }
    static std::int64_t& live() {
        static thread_local std::int64_t bytes = 0;
        return bytes;
    }
    static std::int64_t& peak() {
        static thread_local std::int64_t bytes = 0;
        return bytes;
    }
};

} // namespace fuzzing
