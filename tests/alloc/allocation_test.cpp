// SPDX-License-Identifier: MIT
// No export takes memory from the heap once its units are open: every call
// of every export, on a good handle and on a bad one, and closing the units
// at the end. The test's own malloc family counts every allocation in the
// process; the D2XX double behind the library allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>

#include "benchmarks/export_calls.h"
#include "d2xx/ftd2xx.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *old, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *p);
}

namespace {
std::atomic<long> allocations{0};

void Count()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void *malloc(std::size_t size)
{
    Count();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size)
{
    Count();
    return __libc_calloc(count, size);
}
void *realloc(void *old, std::size_t size)
{
    Count();
    return __libc_realloc(old, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, std::size_t alignment, std::size_t size)
{
    Count();
    *out = __libc_memalign(alignment, size);
    return *out != nullptr ? 0 : 12;  // ENOMEM
}
void free(void *p)
{
    __libc_free(p);
}
}

namespace {

TEST(Allocations, NoExportAllocatesAfterOpen)
{
    const bench::Opened opened = bench::OpenAll(false);
    void *const handle = bench::Handle(opened);
    void *const stranger = reinterpret_cast<void *>(std::intptr_t{0x7FFF0000});
    const auto every_call = [&] {
        for (const bench::Call &call : bench::kCalls) {
            call.ours(handle);
        }
        unsigned long status = 0;
        int ld = 0;
        double values[VONTREL_READ_STATUS_ENTRIES] = {};
        EXPECT_EQ(Vontrel_ReadLD(&status, stranger, &ld), -1);
        EXPECT_EQ(Vontrel_ReadStatus(&status, stranger, values), -1);
        Vontrel_WriteStatus(&status, stranger, values);
        EXPECT_EQ(Vontrel_Close(stranger), static_cast<int>(FT_INVALID_HANDLE));
    };
    every_call();  // first calls bind symbols

    const long before = allocations.load();
    for (int i = 0; i < 100; ++i) {
        every_call();
    }
    bench::CloseAll(opened, false);
    EXPECT_EQ(allocations.load() - before, 0) << "an export allocated from the heap";
}

}  // namespace
