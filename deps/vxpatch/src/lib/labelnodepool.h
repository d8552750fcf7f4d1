#ifndef VXPATCH_LABELNODEPOOL_H
#define VXPATCH_LABELNODEPOOL_H

#include "label.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace vxpatch {

// Memory for the nodes of a program's label maps, handed out from large blocks
// and given back all at once: a program never frees a label while it lives,
// and a large program has a hundred thousand of them, which one allocation
// each makes slow to create and to walk.
class LabelNodePool
{
public:
    LabelNodePool() = default;
    LabelNodePool(const LabelNodePool &) = delete;
    LabelNodePool &operator=(const LabelNodePool &) = delete;

    // Throws std::bad_alloc when memory runs out, as an allocator must.
    void *Allocate(size_t size, size_t alignment);

private:
    std::vector<std::unique_ptr<unsigned char[]>> m_blocks;
    size_t m_blockSize = 0;
    size_t m_used = 0;
};

// Single nodes come from the pool and are only given back with it; anything
// larger (no map asks for it) goes to the heap as usual.
template <typename T> class LabelNodeAllocator
{
public:
    using value_type = T;

    explicit LabelNodeAllocator(LabelNodePool *pool) noexcept : m_pool(pool) {}
    template <typename U>
    LabelNodeAllocator(const LabelNodeAllocator<U> &other) noexcept : m_pool(other.pool())
    {
    }

    T *allocate(size_t n)
    {
        if (n == 1)
            return static_cast<T *>(m_pool->Allocate(sizeof(T), alignof(T)));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T *p, size_t n) noexcept
    {
        if (n != 1)
            std::allocator<T>().deallocate(p, n);
    }

    LabelNodePool *pool() const noexcept { return m_pool; }

    friend bool operator==(const LabelNodeAllocator &a, const LabelNodeAllocator &b)
    {
        return a.m_pool == b.m_pool;
    }
    friend bool operator!=(const LabelNodeAllocator &a, const LabelNodeAllocator &b)
    {
        return a.m_pool != b.m_pool;
    }

private:
    LabelNodePool *m_pool;
};

// Labels by rva, in ascending order.
using LabelMap =
    std::map<uint32_t, Label, std::less<uint32_t>, LabelNodeAllocator<std::pair<const uint32_t, Label>>>;

} // namespace vxpatch

#endif
