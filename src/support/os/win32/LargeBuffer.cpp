#include <windows.h>

#include "support/os/LargeBufferPlatform.h"

namespace quillon::large_buffer {

// Windows hands out large pages only to accounts holding the lock-pages privilege, which a host
// application seldom has: committed system memory, zeroed, is what it gets.
Mapping Map(std::size_t size)
{
    Mapping mapping;
    void* base = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base)
        return mapping;
    mapping.data = static_cast<std::uint8_t*>(base);
    mapping.base = base;
    mapping.length = size;
    return mapping;
}

void Unmap(void* base, std::size_t) { VirtualFree(base, 0, MEM_RELEASE); }

}  // namespace quillon::large_buffer
