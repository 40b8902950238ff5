// The library's out-of-memory path, in a test binary of its own: every allocation of
// the process, the library's included, fails while the test asks it to. (Memory
// checkers replace these operators with their own, so this binary is not run under
// them.)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <twoband/twoband.h>

namespace {

// While set, every allocation in the process fails, the library's included.
std::atomic<bool> failingAllocations{false};

void* allocate(std::size_t size, std::size_t alignment) {
    if (failingAllocations) throw std::bad_alloc();
    size = size == 0 ? 1 : size;
    void* memory = alignment <= alignof(std::max_align_t)
                       ? std::malloc(size)
                       : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

TEST(Library, NewHandleWithoutMemoryIsAnError) {
    int error = -1;
    failingAllocations = true;
    twoband* const tb = twoband_new(nullptr, 2, &error);
    failingAllocations = false;
    EXPECT_EQ(tb, nullptr);
    EXPECT_EQ(error, TWOBAND_ERROR_NO_MEMORY);
    twoband_free(tb);
}
