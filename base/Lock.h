#pragma once
#include <windows.h>

namespace qv {

// Recursive lock (critical section); the global lock of the server is one of these.
class RecursiveLock {
public:
    // Holds are short (a tag update is well under a microsecond): a waiter that spins a little
    // gets the lock without a trip through the kernel, which is what makes two host threads
    // slower than one.
    RecursiveLock() { InitializeCriticalSectionAndSpinCount(&cs_, 4000); }
    ~RecursiveLock() { DeleteCriticalSection(&cs_); }
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void lock() { EnterCriticalSection(&cs_); }
    void unlock() { LeaveCriticalSection(&cs_); }
    // True when the calling thread holds the lock (for assertions in debug paths).
    bool heldByMe() const { return cs_.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId())) && cs_.RecursionCount > 0; }

private:
    CRITICAL_SECTION cs_;
};

template <class L>
class Guard {
public:
    explicit Guard(L& l) : l_(&l) { l_->lock(); }
    ~Guard() { if (l_) l_->unlock(); }
    // Leave early (before calling out to a client or the host).
    void release() { if (l_) { l_->unlock(); l_ = nullptr; } }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    L* l_;
};

using LockGuard = Guard<RecursiveLock>;

} // namespace qv
