// Memory for a whole archive, straight from the system rather than the heap.
//
// An upload holds its archive in memory so that the device hears of nothing that cannot be read
// whole. Tens of megabytes of fresh heap are touched a 4 KB page at a time, and on a virtual
// machine each first touch is a trap costing microseconds: a quarter of a 50 MB upload went there.
// Where the system has large pages (2 MB on x86-64 Linux) the buffer asks for them, which makes
// the first touch a few dozen traps; elsewhere it is plain system memory. Either way it arrives
// zeroed, so a caller that fills it need not clear it first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

class LargeBuffer {
public:
    LargeBuffer() = default;
    // size bytes, all zero; check valid(): false, and empty, when the system refused.
    explicit LargeBuffer(std::size_t size);
    ~LargeBuffer();
    LargeBuffer(LargeBuffer&& other) noexcept;
    LargeBuffer& operator=(LargeBuffer&& other) noexcept;
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;

    bool valid() const { return !refused_; }
    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void Release();

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // what the system handed out; data_ may start further in
    std::size_t mappedSize_ = 0;
    bool refused_ = false;
};

}  // namespace quillon
