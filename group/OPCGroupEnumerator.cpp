#include "group/OPCGroupEnumerator.h"
#include <new>
#include "group/OPCGroup.h"
#include "server/OPCServer.h"

namespace qv {

OPCGroupEnumerator::~OPCGroupEnumerator()
{
    // Releasing a group that RemoveGroup left to its last reference destroys it.
    std::vector<OPCGroup*> old;
    old.swap(groups_);
    for (OPCGroup* g : old) g->Release();
}

bool OPCGroupEnumerator::append(OPCGroup* g)
{
    try {
        groups_.push_back(g);
    } catch (const std::bad_alloc&) {
        return false;
    }
    g->AddRef();
    return true;
}

HRESULT STDMETHODCALLTYPE OPCGroupEnumerator::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumUnknown)) {
        *ppv = static_cast<IEnumUnknown*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE OPCGroupEnumerator::AddRef()
{
    if (server_) server_->AddRef();
    return addRef();
}

ULONG STDMETHODCALLTYPE OPCGroupEnumerator::Release()
{
    OPCServer* s = server_;
    // The groups go (with the object, on the last Release) before the server reference
    // that this one held.
    const ULONG n = release();
    if (s) s->Release();
    return n;
}

HRESULT STDMETHODCALLTYPE OPCGroupEnumerator::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched)
{
    // celt 0: nothing asked, nothing written (rgelt may have no room).
    if (celt == 0) {
        if (pceltFetched) *pceltFetched = 0;
        return S_OK;
    }
    if (!rgelt) return E_POINTER;
    rgelt[0] = nullptr;
    if (groups_.empty()) {
        if (pceltFetched) *pceltFetched = 0;
        return S_FALSE;
    }
    if (!pceltFetched && celt != 1) return E_POINTER;
    if (pceltFetched) *pceltFetched = 0;
    std::lock_guard<std::mutex> g(m_);
    if (position_ < 0 || static_cast<size_t>(position_) >= groups_.size()) return S_FALSE;
    ULONG n = 0;
    while (n < celt && static_cast<size_t>(position_) < groups_.size()) {
        OPCGroup* grp = groups_[static_cast<size_t>(position_++)];
        grp->AddRef();
        rgelt[n++] = static_cast<IUnknown*>(grp);
    }
    if (pceltFetched) *pceltFetched = n;
    // The COM contract: S_OK only when every requested element came. The standard stub of
    // IEnumUnknown reports celt elements fetched on S_OK, so a short S_OK would hand a remote
    // client garbage entries.
    return n == celt ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE OPCGroupEnumerator::Skip(ULONG celt)
{
    std::lock_guard<std::mutex> g(m_);
    long long target = static_cast<long long>(position_) + celt;
    // Reaching the end exactly is refused too.
    if (target >= static_cast<long long>(groups_.size())) return S_FALSE;
    position_ = static_cast<LONG>(target);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OPCGroupEnumerator::Reset()
{
    std::lock_guard<std::mutex> g(m_);
    position_ = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OPCGroupEnumerator::Clone(IEnumUnknown** ppenum)
{
    if (!ppenum) return E_INVALIDARG;
    *ppenum = nullptr;
    OPCGroupEnumerator* e = newServerObject<OPCGroupEnumerator>(clientObjects(), server_);
    if (!e) return E_OUTOFMEMORY;
    for (OPCGroup* g : groups_) {
        if (!e->append(g)) {
            e->Release();
            return E_OUTOFMEMORY;
        }
    }
    {
        std::lock_guard<std::mutex> g(m_);
        e->position_ = position_;
    }
    *ppenum = e;
    return S_OK;
}

} // namespace qv
