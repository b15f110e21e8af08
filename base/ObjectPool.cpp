#include "base/ObjectPool.h"
#include <algorithm>
#include <memory>
#include <new>

namespace qv {

ObjectPool::ObjectPool(std::size_t objectSize, std::size_t alignment, std::uint32_t perBlock)
    : size_((std::max(objectSize, sizeof(void*)) + alignment - 1) / alignment * alignment),
      align_(alignment),
      perBlock_(perBlock)
{
}

ObjectPool::~ObjectPool()
{
    for (auto& e : byBase_) freeBlock(e.second);
}

void ObjectPool::freeBlock(Block* b) noexcept
{
    ::operator delete(b->base, std::align_val_t(align_));
    delete b;
}

void* ObjectPool::allocate()
{
    std::lock_guard<std::mutex> g(m_);
    if (withRoom_.empty()) {
        std::unique_ptr<Block> b(new Block());
        // Never more blocks with room than blocks: release() can then add one without throwing.
        withRoom_.reserve(byBase_.size() + 1);
        b->base = static_cast<char*>(::operator new(size_ * perBlock_, std::align_val_t(align_)));
        try {
            byBase_.emplace(b->base, b.get());
        } catch (...) {
            ::operator delete(b->base, std::align_val_t(align_));
            throw;
        }
        withRoom_.push_back(b.release());
    }
    Block* b = withRoom_.back();
    void* p;
    if (b->freeList) {
        p = b->freeList;
        b->freeList = *static_cast<void**>(p);
    } else {
        p = b->base + size_ * b->bump++;
    }
    if (++b->live == perBlock_) withRoom_.pop_back();
    return p;
}

void ObjectPool::release(void* p) noexcept
{
    if (!p) return;
    std::lock_guard<std::mutex> g(m_);
    auto it = byBase_.upper_bound(static_cast<char*>(p));
    if (it == byBase_.begin()) return; // not from this pool: cannot happen
    Block* b = (--it)->second;
    if (static_cast<char*>(p) >= b->base + size_ * perBlock_) return;
    const bool wasFull = b->live == perBlock_;
    *static_cast<void**>(p) = b->freeList;
    b->freeList = p;
    --b->live;
    if (b->live == 0 && byBase_.size() > 1) {
        if (!wasFull) withRoom_.erase(std::find(withRoom_.begin(), withRoom_.end(), b));
        byBase_.erase(it);
        freeBlock(b);
        return;
    }
    if (wasFull) withRoom_.push_back(b); // within the capacity reserved in allocate()
}

std::size_t ObjectPool::blocks() const
{
    std::lock_guard<std::mutex> g(m_);
    return byBase_.size();
}

} // namespace qv
