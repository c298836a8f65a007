// Interposes the C allocator and replaces the global operator new. The
// executable's definitions take precedence over libc's for every shared
// library in the process, so allocations made inside the client library,
// GLib or libstdc++ are counted too. The real work is forwarded to glibc's
// own entry points, which keeps every pointer compatible with free().
#include "AllocCounter.h"

#include <errno.h>
#include <glib.h>

#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* ptr);
}

namespace {
// Static TLS of the executable: reading it never allocates, so the counter
// cannot recurse into itself.
thread_local uint64_t t_allocations = 0;

inline void Count() { ++t_allocations; }

void* AllocateOrThrow(std::size_t size)
{
    Count();
    void* p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void* AllocateAlignedOrThrow(std::size_t size, std::align_val_t alignment)
{
    Count();
    void* p = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
}  // namespace

namespace qzbench {

uint64_t ThreadAllocations() { return t_allocations; }

bool AllocCounterWorks()
{
    uint64_t before = ThreadAllocations();
    g_free(g_malloc(64));  // C allocation from inside a shared library
    uint64_t afterC = ThreadAllocations();
    // A direct call, not a new-expression, so the compiler may not elide it.
    ::operator delete(::operator new(64));
    uint64_t afterNew = ThreadAllocations();
    return afterC > before && afterNew == afterC + 1;
}

}  // namespace qzbench

extern "C" {

void* malloc(size_t size)
{
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size)
{
    Count();
    return __libc_realloc(ptr, size);
}

void* reallocarray(void* ptr, size_t count, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    Count();
    return __libc_realloc(ptr, total);
}

void* memalign(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    Count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t size)
{
    Count();
    return __libc_valloc(size);
}

void* pvalloc(size_t size)
{
    Count();
    return __libc_pvalloc(size);
}

void free(void* ptr) { __libc_free(ptr); }

}  // extern "C"

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    Count();
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    Count();
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return AllocateAlignedOrThrow(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return AllocateAlignedOrThrow(size, alignment);
}

void operator delete(void* ptr) noexcept { __libc_free(ptr); }
void operator delete[](void* ptr) noexcept { __libc_free(ptr); }
void operator delete(void* ptr, std::size_t) noexcept { __libc_free(ptr); }
void operator delete[](void* ptr, std::size_t) noexcept { __libc_free(ptr); }
void operator delete(void* ptr, std::align_val_t) noexcept { __libc_free(ptr); }
void operator delete[](void* ptr, std::align_val_t) noexcept { __libc_free(ptr); }
void operator delete(void* ptr, std::size_t, std::align_val_t) noexcept { __libc_free(ptr); }
void operator delete[](void* ptr, std::size_t, std::align_val_t) noexcept { __libc_free(ptr); }
