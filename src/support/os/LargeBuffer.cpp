#include "support/os/LargeBuffer.h"

#include <utility>

#include "support/os/LargeBufferPlatform.h"

namespace quillon {

LargeBuffer::LargeBuffer(std::size_t size)
{
    if (size == 0)
        return;
    const large_buffer::Mapping mapping = large_buffer::Map(size);
    if (!mapping.data) {
        refused_ = true;
        return;
    }
    data_ = mapping.data;
    size_ = size;
    mapping_ = mapping.base;
    mappedSize_ = mapping.length;
}

LargeBuffer::~LargeBuffer() { Release(); }

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)), mappedSize_(std::exchange(other.mappedSize_, 0)),
      refused_(std::exchange(other.refused_, false))
{}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappedSize_ = std::exchange(other.mappedSize_, 0);
        refused_ = std::exchange(other.refused_, false);
    }
    return *this;
}

void LargeBuffer::Release()
{
    if (mapping_)
        large_buffer::Unmap(mapping_, mappedSize_);
    data_ = nullptr;
    size_ = 0;
    mapping_ = nullptr;
    mappedSize_ = 0;
}

}  // namespace quillon
