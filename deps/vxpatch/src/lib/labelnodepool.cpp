#include "labelnodepool.h"

#include <algorithm>
#include <new>
#include <utility>

namespace vxpatch {

namespace {

// Blocks grow from 4 KiB to 1 MiB: small programs stay small, large ones need few blocks.
constexpr size_t kFirstBlock = 4096;
constexpr size_t kLargestBlock = size_t(1) << 20;

} // namespace

void *LabelNodePool::Allocate(size_t size, size_t alignment)
{
    size_t start = (m_used + alignment - 1) / alignment * alignment;
    if (m_blocks.empty() || start + size > m_blockSize) {
        // Blocks come from new[], aligned for any fundamental type; nodes need no more.
        if (alignment > alignof(std::max_align_t) || size > kLargestBlock)
            throw std::bad_alloc();
        const size_t blockSize = m_blocks.empty() ? kFirstBlock : std::min(2 * m_blockSize, kLargestBlock);
        std::unique_ptr<unsigned char[]> block(new unsigned char[blockSize]);
        m_blocks.push_back(std::move(block));
        m_blockSize = blockSize;
        start = 0;
    }
    m_used = start + size;
    return m_blocks.back().get() + start;
}

} // namespace vxpatch
