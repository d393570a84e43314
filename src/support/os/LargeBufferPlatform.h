// The system side of LargeBuffer, one implementation per platform. Internal to src/support.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::large_buffer {

struct Mapping {
    std::uint8_t* data = nullptr;  // at least the size asked for, zeroed; nullptr on failure
    void* base = nullptr;          // what Unmap takes back
    std::size_t length = 0;
};

Mapping Map(std::size_t size);
void Unmap(void* base, std::size_t length);

}  // namespace quillon::large_buffer
