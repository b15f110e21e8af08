#include "server/IOPCEnumString.h"
#include <new>
#include "base/ComUtil.h"

namespace qv {

HRESULT STDMETHODCALLTYPE IOPCEnumString::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumString)) {
        *ppv = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE IOPCEnumString::AddRef() { return addRef(); }
ULONG STDMETHODCALLTYPE IOPCEnumString::Release() { return release(); }

HRESULT STDMETHODCALLTYPE IOPCEnumString::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched)
{
    if (!pceltFetched && celt != 1) return E_POINTER;
    if (pceltFetched) *pceltFetched = 0;
    // celt 0: nothing asked, nothing written (rgelt may have no room).
    if (celt == 0) return S_OK;
    if (!rgelt) return E_POINTER;
    std::lock_guard<std::mutex> g(m_);
    if (strings_.empty() || position_ < 0 || static_cast<size_t>(position_) >= strings_.size()) return S_FALSE;
    ULONG n = 0;
    while (n < celt && static_cast<size_t>(position_) < strings_.size()) {
        LPWSTR w = widen(strings_[static_cast<size_t>(position_)]);
        if (!w) {
            for (ULONG i = 0; i < n; ++i) { CoTaskMemFree(rgelt[i]); rgelt[i] = nullptr; }
            position_ -= static_cast<LONG>(n);
            if (pceltFetched) *pceltFetched = 0;
            return E_OUTOFMEMORY;
        }
        rgelt[n++] = w;
        ++position_;
    }
    if (pceltFetched) *pceltFetched = n;
    // The COM contract: S_OK only when every requested element came. The standard stub of
    // IEnumString reports celt elements fetched on S_OK, so a short S_OK would hand a remote
    // client garbage entries.
    return n == celt ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE IOPCEnumString::Skip(ULONG celt)
{
    if (celt > 0x7FFFFFFF) return S_FALSE;
    std::lock_guard<std::mutex> g(m_);
    long long target = static_cast<long long>(position_) + celt;
    if (target >= static_cast<long long>(strings_.size())) return S_FALSE;
    position_ = static_cast<LONG>(target);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE IOPCEnumString::Reset()
{
    std::lock_guard<std::mutex> g(m_);
    position_ = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE IOPCEnumString::Clone(IEnumString** ppenum)
{
    if (!ppenum) return E_INVALIDARG;
    *ppenum = nullptr;
    IOPCEnumString* e = nullptr;
    try {
        std::lock_guard<std::mutex> g(m_);
        e = newServerObject<IOPCEnumString>(clientObjects(), strings_);
        if (!e) return E_OUTOFMEMORY;
        e->position_ = position_;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppenum = e;
    return S_OK;
}

} // namespace qv
