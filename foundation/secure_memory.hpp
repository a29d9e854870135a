#pragma once
// Keeping the private key out of memory that outlives its use.
#include <cstddef>
#include <memory>
#include <type_traits>

namespace foundation {

// Zeroes n bytes in a way the compiler may not drop.
void wipe(void* p, std::size_t n) noexcept;

// A T, zero at start, wiped when it goes. It cannot be copied, so no copy
// outlives it unwiped.
template <typename T>
struct wiped : T {
    static_assert(std::is_trivially_copyable_v<T>);
    // cppcheck-suppress uninitDerivedMemberVar ; T{} zeroes every member
    wiped() : T{} {}
    ~wiped() { wipe(static_cast<T*>(this), sizeof(T)); }
    wiped(const wiped&) = delete;
    wiped& operator=(const wiped&) = delete;
};

// A zero-filled byte buffer that wipes itself before its memory is freed.
class secure_buffer {
public:
    explicit secure_buffer(std::size_t size);
    ~secure_buffer();
    secure_buffer(const secure_buffer&) = delete;
    secure_buffer& operator=(const secure_buffer&) = delete;

    char* data() noexcept { return bytes_.get(); }
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

// Makes GMP wipe every block before it frees or moves it. Call before any
// GMP integer exists: blocks allocated earlier would be freed unwiped.
void install_wiping_allocator();

// Turns core dumps off and makes the process undumpable, so that a crash
// or another user's debugger cannot read the key. Failures are ignored:
// this is defence in depth, not a precondition.
void disable_core_dumps() noexcept;

// Overwrites depth bytes of the stack below the caller's frame, where GMP
// keeps the temporaries of its arithmetic and compilers spill registers. A
// run's deepest call uses under 10 KiB (measured by painting the stack
// before generate_key); the default margin is wide and cheap.
template <std::size_t depth = std::size_t{64} * 1024>
__attribute__((noinline)) void scrub_stack() noexcept
{
    char area[depth];
    wipe(area, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

// Zeroes every vector register the processor has. Copies of limbs linger
// there, and whatever runs at exit (the dynamic linker's lazy binding, for
// one) may save them to the stack after scrub_stack has run.
void clear_vector_registers() noexcept;

// The same for a given register file, which the processor must have, so
// that tests reach every one.
enum class vector_registers { sse, avx, avx512 };
bool has_vector_registers(vector_registers which) noexcept;
void clear_vector_registers(vector_registers which) noexcept;

}  // namespace foundation
