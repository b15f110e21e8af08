#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace qv {

// Storage for objects of one size, handed out from large blocks. Group items come from here so
// that the items host updates touch sit side by side instead of between their strings: in a
// large address space that is what keeps an update near one page walk per item. A block whose
// objects are all released goes back to the system, unless it is the last one.
class ObjectPool {
public:
    ObjectPool(std::size_t objectSize, std::size_t alignment, std::uint32_t perBlock);
    ~ObjectPool();
    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    void* allocate(); // throws std::bad_alloc
    void release(void* p) noexcept;
    std::size_t blocks() const;

private:
    struct Block {
        char* base = nullptr;
        std::uint32_t live = 0;
        std::uint32_t bump = 0;     // objects never handed out start here
        void* freeList = nullptr;   // released objects, linked through their first bytes
    };
    void freeBlock(Block* b) noexcept;

    const std::size_t size_;
    const std::size_t align_;
    const std::uint32_t perBlock_;
    mutable std::mutex m_; // a leaf lock: nothing is called while it is held
    std::map<char*, Block*> byBase_;
    std::vector<Block*> withRoom_;
};

} // namespace qv
