#include "foundation/secure_memory.hpp"

#include "foundation/diagnostics.hpp"

#include <gmp.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

namespace foundation {

void wipe(void* p, std::size_t n) noexcept
{
    if (p != nullptr && n != 0) {
        explicit_bzero(p, n);
    }
}

secure_buffer::secure_buffer(std::size_t size)
    : bytes_(std::make_unique<char[]>(size)), size_(size)
{
}

secure_buffer::~secure_buffer() { wipe(bytes_.get(), size_); }

namespace {

void* wiping_alloc(std::size_t size)
{
    void* p = std::malloc(size);
    if (p == nullptr) {
        // GMP cannot recover from a failed allocation, so neither can we.
        exit_out_of_memory();
    }
    return p;
}

void wiping_free(void* p, std::size_t size)
{
    wipe(p, size);
    std::free(p);
}

// realloc could leave the old block behind unwiped, so move by hand.
void* wiping_realloc(void* old, std::size_t old_size, std::size_t new_size)
{
    void* p = wiping_alloc(new_size);
    std::memcpy(p, old, old_size < new_size ? old_size : new_size);
    wiping_free(old, old_size);
    return p;
}

}  // namespace

void install_wiping_allocator()
{
    mp_set_memory_functions(wiping_alloc, wiping_realloc, wiping_free);
}

void disable_core_dumps() noexcept
{
    const rlimit none{0, 0};
    (void)setrlimit(RLIMIT_CORE, &none);
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

namespace {

// vzeroall clears zmm0-15 whole where AVX-512 is; zmm16-31 and the mask
// registers need AVX-512's own instructions.
__attribute__((target("avx512f"))) void clear_avx512_registers() noexcept
{
    asm volatile("vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
                 "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
                 "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
                 "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
                 "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
                 "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
                 "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
                 "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31\n\t"
                 "kxorw %%k0, %%k0, %%k0\n\tkxorw %%k1, %%k1, %%k1\n\t"
                 "kxorw %%k2, %%k2, %%k2\n\tkxorw %%k3, %%k3, %%k3\n\t"
                 "kxorw %%k4, %%k4, %%k4\n\tkxorw %%k5, %%k5, %%k5\n\t"
                 "kxorw %%k6, %%k6, %%k6\n\tkxorw %%k7, %%k7, %%k7\n\t"
                 "vzeroall" ::: "memory");
}

__attribute__((target("avx"))) void clear_avx_registers() noexcept
{
    asm volatile("vzeroall" ::: "memory");
}

void clear_sse_registers() noexcept
{
    asm volatile("pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
                 "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
                 "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
                 "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
                 "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
                 "pxor %%xmm15, %%xmm15"
                 ::: "memory");
}

}  // namespace

bool has_vector_registers(vector_registers which) noexcept
{
    switch (which) {
    case vector_registers::avx512:
        return __builtin_cpu_supports("avx512f") != 0;
    case vector_registers::avx:
        return __builtin_cpu_supports("avx") != 0;
    case vector_registers::sse:
        break;
    }
    return true;
}

void clear_vector_registers(vector_registers which) noexcept
{
    switch (which) {
    case vector_registers::avx512:
        clear_avx512_registers();
        break;
    case vector_registers::avx:
        clear_avx_registers();
        break;
    case vector_registers::sse:
        clear_sse_registers();
        break;
    }
}

void clear_vector_registers() noexcept
{
    if (has_vector_registers(vector_registers::avx512)) {
        clear_avx512_registers();
    } else if (has_vector_registers(vector_registers::avx)) {
        clear_avx_registers();
    } else {
        clear_sse_registers();
    }
}

}  // namespace foundation
