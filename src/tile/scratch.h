// Grow-on-demand scratch storage of one task.
//
// A slot holds one array. While the slot's requests add up to at most
// kStackLimit bytes it serves them from an arena inside the slot, which lives
// in the task's stack frame; past that it takes blocks from halide_malloc.
// Growing discards the old contents (it is not a realloc). Heap blocks are
// released when the slot goes out of scope, so every successful halide_malloc
// is matched by one halide_free before the task returns.
#ifndef BILATERAL_TILE_SCRATCH_H
#define BILATERAL_TILE_SCRATCH_H

#include <HalideRuntime.h>

#include <cstddef>
#include <cstdint>

namespace bilateral {

class ScratchSlot {
public:
    static constexpr size_t kStackLimit = 16384;

    explicit ScratchSlot(void *user_context) : user_context_(user_context) {}
    ~ScratchSlot() { release(); }
    ScratchSlot(const ScratchSlot &) = delete;
    ScratchSlot &operator=(const ScratchSlot &) = delete;

    // At least `bytes` bytes, aligned for vector access (the arena to 64
    // bytes, heap blocks as halide_malloc aligns them), or NULL when
    // halide_malloc failed; the caller then stops its task.
    void *get(size_t bytes) {
        if (size_ >= bytes && block_ != nullptr) return block_;
        release();
        size_ = 0;
        cumulative_ += bytes;
        if (cumulative_ > kStackLimit) {
            block_ = halide_malloc(user_context_, bytes);
            on_heap_ = block_ != nullptr;
        } else {
            // Requests within the stack limit never exceed the arena, and a
            // grown block replaces the old one, so it starts at the arena base.
            block_ = arena_;
        }
        if (block_ != nullptr) size_ = bytes;
        return block_;
    }

    // Room for `count` elements of T; NULL when that many bytes cannot even
    // be expressed, as for absurd window sizes.
    template <class T>
    T *get_array(uint64_t count) {
        if (count > SIZE_MAX / sizeof(T)) return nullptr;
        return static_cast<T *>(get(static_cast<size_t>(count) * sizeof(T)));
    }

private:
    void release() {
        if (on_heap_) halide_free(user_context_, block_);
        on_heap_ = false;
        block_ = nullptr;
    }

    void *user_context_;
    void *block_ = nullptr;
    size_t size_ = 0;
    size_t cumulative_ = 0;
    bool on_heap_ = false;
    alignas(64) unsigned char arena_[kStackLimit];
};

}  // namespace bilateral

#endif  // BILATERAL_TILE_SCRATCH_H
