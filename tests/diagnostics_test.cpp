#include "foundation/diagnostics.hpp"
#include "foundation/secure_memory.hpp"

#include <gmp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>

namespace {

struct failure_case {
    const char* name;
    std::exception_ptr failure;
    int status;
    const char* message;
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class ReportFailure : public testing::TestWithParam<failure_case> {};

TEST_P(ReportFailure, OneMessageAndStatusPerKind)
{
    const failure_case& c = GetParam();
    foundation::set_program("keygen");
    testing::internal::CaptureStderr();
    EXPECT_EQ(foundation::report_failure(c.failure, "usage: keygen\n"), c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReportFailure,
    testing::Values(
        failure_case{"Usage", std::make_exception_ptr(foundation::usage_error("unknown option: -x")), 2,
                     "keygen: unknown option: -x\nusage: keygen\n"},
        failure_case{"OutOfMemory", std::make_exception_ptr(std::bad_alloc()), 1,
                     "keygen: cannot allocate memory: out of memory\n"},
        failure_case{"Other", std::make_exception_ptr(std::runtime_error("cannot do it: why")), 1,
                     "keygen: cannot do it: why\n"}),
    [](const auto& info) { return std::string(info.param.name); });

#if !defined(__SANITIZE_ADDRESS__)
void allocate_past_a_small_limit()
{
    const rlimit small{std::size_t{1} << 30, std::size_t{1} << 30};
    setrlimit(RLIMIT_AS, &small);
    foundation::install_wiping_allocator();
    mpz_t z;
    mpz_init2(z, std::size_t{1} << 34);
}

// GMP cannot unwind from a failed allocation, yet the run must end as a
// std::bad_alloc would.
TEST(ReportFailureDeathTest, GmpOutOfMemoryEndsLikeBadAlloc)
{
    foundation::set_program("keygen");
    EXPECT_EXIT(allocate_past_a_small_limit(), testing::ExitedWithCode(1),
                "^keygen: cannot allocate memory: out of memory\n$");
}
#endif

}  // namespace

// A register the compiler leaves alone between the asm statements: the call
// clobbers it, and nothing is computed after it.
__attribute__((noinline)) std::array<std::uint64_t, 2> xmm4_after(foundation::vector_registers which)
{
    const std::array<std::uint64_t, 2> ones{~std::uint64_t{0}, ~std::uint64_t{0}};
    std::array<std::uint64_t, 2> after{};
    asm volatile("movdqu %0, %%xmm4" : : "m"(ones) : "xmm4");
    foundation::clear_vector_registers(which);
    asm volatile("movdqu %%xmm4, %0" : "=m"(after));
    return after;
}

namespace {

std::string register_file_name(foundation::vector_registers which)
{
    static const char* const names[] = {"Sse", "Avx", "Avx512"};
    return names[static_cast<int>(which)];
}

class ClearVectorRegisters : public testing::TestWithParam<foundation::vector_registers> {};

TEST_P(ClearVectorRegisters, LeavesNothingInTheRegisterFile)
{
    if (!foundation::has_vector_registers(GetParam())) {
        GTEST_SKIP() << "this processor has no " << register_file_name(GetParam()) << " registers";
    }
    EXPECT_EQ(xmm4_after(GetParam()), (std::array<std::uint64_t, 2>{}));
}

INSTANTIATE_TEST_SUITE_P(Files, ClearVectorRegisters,
                         testing::Values(foundation::vector_registers::sse,
                                         foundation::vector_registers::avx,
                                         foundation::vector_registers::avx512),
                         [](const auto& info) { return register_file_name(info.param); });

}  // namespace
