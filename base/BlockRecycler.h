#pragma once
// Blocks of one size kept for reuse once freed, on the system's interlocked singly linked list:
// a thread that allocates (the host raising alarms) and threads that free (the workers) never
// meet on the heap's lock, and a block costs no heap call while it is recycled. At most
// kKeep blocks are kept; beyond that they go back to the heap.
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <new>

namespace qv {

class BlockRecycler {
public:
    static constexpr LONG kKeep = 4096;
    explicit BlockRecycler(size_t size)
        : size_(size < sizeof(SLIST_ENTRY) ? sizeof(SLIST_ENTRY) : size)
    {
        InitializeSListHead(&head_);
    }
    ~BlockRecycler() { drain(); }
    BlockRecycler(const BlockRecycler&) = delete;
    BlockRecycler& operator=(const BlockRecycler&) = delete;

    void* allocate()
    {
        if (PSLIST_ENTRY e = InterlockedPopEntrySList(&head_)) {
            --kept_;
            return e;
        }
        // The process heap gives the alignment the list's entries need.
        void* p = HeapAlloc(GetProcessHeap(), 0, size_);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void release(void* p) noexcept
    {
        if (!p) return;
        if (kept_.fetch_add(1) < kKeep) {
            InterlockedPushEntrySList(&head_, static_cast<PSLIST_ENTRY>(p));
            return;
        }
        --kept_;
        HeapFree(GetProcessHeap(), 0, p);
    }
    void drain() noexcept
    {
        while (PSLIST_ENTRY e = InterlockedPopEntrySList(&head_)) {
            --kept_;
            HeapFree(GetProcessHeap(), 0, e);
        }
    }

private:
    SLIST_HEADER head_;
    const size_t size_;
    std::atomic<LONG> kept_{0};
};

// An allocator for std::allocate_shared whose single objects come from one recycler per size.
template <class T>
struct RecyclingAllocator {
    using value_type = T;
    RecyclingAllocator() = default;
    template <class U>
    RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}
    static BlockRecycler& recycler()
    {
        static_assert(alignof(T) <= MEMORY_ALLOCATION_ALIGNMENT, "the heap's alignment is not enough");
        static BlockRecycler r(sizeof(T));
        return r;
    }
    T* allocate(size_t n)
    {
        if (n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(recycler().allocate());
    }
    void deallocate(T* p, size_t n) noexcept
    {
        if (n != 1) ::operator delete(p);
        else recycler().release(p);
    }
    template <class U>
    bool operator==(const RecyclingAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const RecyclingAllocator<U>&) const noexcept { return false; }
};

} // namespace qv
