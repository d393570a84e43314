#include <sys/mman.h>
#include <unistd.h>

#include <limits>

#include "support/os/LargeBufferPlatform.h"

namespace quillon::large_buffer {

namespace {

#ifdef MADV_HUGEPAGE
// The large page of x86-64 and of arm64 with 4 KB pages; a system with another size still gets a
// valid buffer, only fewer large pages in it.
constexpr std::size_t kLargePage = std::size_t{2} << 20;
#endif

}  // namespace

Mapping Map(std::size_t size)
{
    Mapping mapping;
    // No system maps half the address space; refusing here keeps the alignment sums below from
    // wrapping around to a small mapping.
    if (size > std::numeric_limits<std::size_t>::max() / 2)
        return mapping;
#ifdef MADV_HUGEPAGE
    // Large pages cover only whole, aligned 2 MB stretches: map a page more than needed and trim the
    // ends, so that the buffer starts on a boundary. Below a large page there is nothing to gain.
    const bool large = size >= kLargePage;
    const std::size_t length = large ? size + kLargePage : size;
#else
    const std::size_t length = size;
#endif
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return mapping;
    auto* data = static_cast<std::uint8_t*>(base);
    std::size_t mapped = length;
#ifdef MADV_HUGEPAGE
    if (large) {
        const auto address = reinterpret_cast<std::uintptr_t>(base);
        const std::size_t head = (kLargePage - address % kLargePage) % kLargePage;
        if (head > 0)
            munmap(base, head);
        const std::size_t tail = kLargePage - head;
        data += head;
        // Keep whole large pages where the slack allows, so the last stretch can be one too, and
        // whole small pages otherwise (the tail is at least one, so they always fit).
        const auto roundUp = [size](std::size_t unit) { return (size + unit - 1) / unit * unit; };
        const std::size_t whole = roundUp(kLargePage);
        const std::size_t keep =
            whole <= size + tail ? whole : roundUp(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
        if (size + tail > keep)
            munmap(data + keep, size + tail - keep);
        base = data;
        mapped = keep;
        // Advice only: a kernel without transparent large pages, or with them switched off, says
        // no and the buffer works with small pages.
        madvise(data, keep, MADV_HUGEPAGE);
    }
#endif
    mapping.data = data;
    mapping.base = base;
    mapping.length = mapped;
    return mapping;
}

void Unmap(void* base, std::size_t length) { munmap(base, length); }

}  // namespace quillon::large_buffer
