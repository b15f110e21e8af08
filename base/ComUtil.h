#pragma once
// RAII helpers for VARIANTs, task memory and COM pointers, and the 8-bit/wide conversions
// used at the client boundary.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <cstdint>
#include <string>
#include <utility>

namespace qv {

// Owns a VARIANT and clears it on every path.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    explicit Variant(const VARIANT& src) { VariantInit(&v_); VariantCopy(&v_, const_cast<VARIANT*>(&src)); }
    Variant(const Variant& o) : Variant(o.v_) {}
    Variant(Variant&& o) noexcept { v_ = o.v_; VariantInit(&o.v_); }
    Variant& operator=(const Variant& o) { if (this != &o) { copyFrom(o.v_); } return *this; }
    Variant& operator=(Variant&& o) noexcept { if (this != &o) { VariantClear(&v_); v_ = o.v_; VariantInit(&o.v_); } return *this; }
    ~Variant() { VariantClear(&v_); }

    HRESULT copyFrom(const VARIANT& src) { VariantClear(&v_); return VariantCopy(&v_, const_cast<VARIANT*>(&src)); }
    void clear() { VariantClear(&v_); }
    VARTYPE vt() const { return V_VT(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT& operator*() { return v_; }
    const VARIANT& operator*() const { return v_; }
    // Hands the content over (e.g. into a client's array); this object becomes VT_EMPTY.
    VARIANT detach() { VARIANT r = v_; VariantInit(&v_); return r; }

private:
    VARIANT v_;
};

// Zero-filled task memory for a client through the server's allocator (null when out of
// memory or before start-up), and its release.
// Zero-filled task memory handed to clients, from the allocator set with setTaskMemory (the
// server's, set at load; COM's own until then).
void setTaskMemory(void* (*alloc)(size_t), void (*release)(void*));
void* taskMemAlloc(size_t bytes);
void taskMemFree(void* p);

// The one way to make a task-memory array of n records for a client: zero-filled, null when
// n * sizeof(T) does not fit in size_t or memory runs out, freed (with the strings or
// VARIANTs it holds) unless handed over with release(). A count of 0 still gets a block.
template <class T>
class TaskArray {
public:
    TaskArray() = default;
    explicit TaskArray(size_t n)
        : p_(n > SIZE_MAX / sizeof(T) ? nullptr : static_cast<T*>(taskMemAlloc(sizeof(T) * (n ? n : 1)))),
          n_(p_ ? n : 0) {}
    TaskArray(TaskArray&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr; o.n_ = 0; }
    TaskArray& operator=(TaskArray&& o) noexcept { if (this != &o) { reset(); std::swap(p_, o.p_); std::swap(n_, o.n_); } return *this; }
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;
    ~TaskArray() { reset(); }
    void reset()
    {
        if (!p_) return;
        for (size_t i = 0; i < n_; ++i) destroyElement(p_[i]);
        taskMemFree(p_);
        p_ = nullptr;
        n_ = 0;
    }
    T* get() const { return p_; }
    T* release() { T* p = p_; p_ = nullptr; n_ = 0; return p; }
    T& operator[](size_t i) const { return p_[i]; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    template <class U> static void destroyElement(U&) {}
    static void destroyElement(LPWSTR& s) { taskMemFree(s); s = nullptr; }
    static void destroyElement(VARIANT& v) { VariantClear(&v); }
    T* p_ = nullptr;
    size_t n_ = 0;
};

// Clears a client's out-parameter when given (failures never leave it uninitialised).
template <class T>
void clearOut(T* p)
{
    if (p) *p = T();
}

// A counted COM reference.
template <class I>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(I* p, bool addRef) : p_(p) { if (p_ && addRef) p_->AddRef(); }
    ComPtr(const ComPtr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ComPtr& operator=(ComPtr o) noexcept { std::swap(p_, o.p_); return *this; }
    ~ComPtr() { if (p_) p_->Release(); }
    void reset() { if (p_) { I* p = p_; p_ = nullptr; p->Release(); } }
    I* get() const { return p_; }
    I* operator->() const { return p_; }
    I** put() { reset(); return &p_; }
    I* detach() { I* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    I* p_ = nullptr;
};

// Client text to 8-bit text with the system code page; NULL gives "".
std::string narrow(LPCWSTR s);
// 8-bit text to client text with the system code page (as narrow), into task memory
// (taskMem) or the ordinary heap (operator new[]). Null when out of memory.
LPWSTR widen(const std::string& s, bool taskMem = true);
LPWSTR widen(const char* s, bool taskMem = true);
void freeWide(LPWSTR p, bool taskMem = true);
// Low byte of every 16-bit character (filters); NULL gives "".
std::string lowBytes(LPCWSTR s);

// VT_DISPATCH, VT_UNKNOWN or VT_RECORD as the type or an array's element type: converting or
// copying such a value calls into an object that may live in a client.
bool isObjectType(VARTYPE vt);
// A client may ask for values of a tag of type `canonical` as `requested`: VT_EMPTY (its own
// type), its own type, or a scalar type that the canonical scalar type converts to at all.
// Decided by the types alone, never by the current value, so the answer holds still; a read
// whose value then fails the conversion gets that error and bad quality. Never an object type
// or a reference (values are handed out by value); arrays only in their own type.
bool requestableType(VARTYPE canonical, VARTYPE requested);
// The value holds such an object anywhere (by reference, in a VARIANT array, nested). Reads
// only the VARIANT and array memory; never calls the object.
bool holdsObject(const VARIANT& v);

// Current UTC time as FILETIME.
FILETIME utcNow();

// ASCII case fold (for the case-insensitive name comparison and its index).
std::string foldCase(const std::string& s);
bool equalsNoCase(const std::string& a, const std::string& b);

} // namespace qv
