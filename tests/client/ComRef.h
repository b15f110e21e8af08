#pragma once
// A counted COM reference for the out-of-process tests.
#include <objbase.h>

template <class I>
struct Ref {
    I* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    void reset()
    {
        if (p) {
            I* q = p;
            p = nullptr;
            q->Release();
        }
    }
    void** out() { reset(); return reinterpret_cast<void**>(&p); }
    I** put() { reset(); return &p; }
    I* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};
