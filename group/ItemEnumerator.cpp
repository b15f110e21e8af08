// IEnumOPCItemAttributes over a snapshot of a group's items taken by CreateEnumerator; it
// holds no reference on the group, so later changes to the group do not show in it.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>
#include "group/OPCGroup.h"
#include "core/OPCServerApp.h"

namespace qv {

namespace {

void clearAttributes(OPCITEMATTRIBUTES& a)
{
    freeWide(a.szAccessPath);
    freeWide(a.szItemID);
    a.szAccessPath = a.szItemID = nullptr;
    VariantClear(&a.vEUInfo);
}

class IOPCItemEnumerator : public IEnumOPCItemAttributes, public ServerObject<IOPCItemEnumerator> {
public:
    explicit IOPCItemEnumerator(std::vector<ItemSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}
    virtual ~IOPCItemEnumerator() = default;
    void lastReleased() {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumOPCItemAttributes)) {
            *ppv = static_cast<IEnumOPCItemAttributes*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override
    {
        if (!ppItemArray) return E_INVALIDARG;
        *ppItemArray = nullptr;
        if (!pceltFetched && celt != 1) return E_POINTER;
        if (pceltFetched) *pceltFetched = 0;
        if (celt == 0) return S_OK; // nothing asked, nothing written: all that was asked came
        std::lock_guard<std::mutex> g(m_);
        if (position_ >= snapshot_.size()) return S_FALSE;
        // Only as many records as remain: a huge celt does not reach the allocator.
        const size_t n = std::min<size_t>(celt, snapshot_.size() - position_);
        TaskArray<OPCITEMATTRIBUTES> records(n);
        if (!records) return E_OUTOFMEMORY;
        for (size_t i = 0; i < n; ++i) {
            const ItemSnapshot& e = snapshot_[position_ + i];
            if (FAILED(e.item->fillAttributes(&records[i])) ||
                FAILED(VariantCopy(&records[i].vEUInfo, const_cast<VARIANT*>(e.euInfo.get())))) {
                for (size_t j = 0; j <= i; ++j) clearAttributes(records[j]);
                return E_OUTOFMEMORY; // position unchanged: the same records can be asked again
            }
            records[i].dwEUType = static_cast<OPCEUTYPE>(e.euType);
        }
        position_ += n;
        *ppItemArray = records.release();
        if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
        // The COM contract: S_FALSE whenever fewer than celt came.
        return n == celt ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        std::lock_guard<std::mutex> g(m_);
        if (static_cast<unsigned long long>(position_) + celt >= snapshot_.size()) return S_FALSE;
        position_ += celt;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        std::lock_guard<std::mutex> g(m_);
        position_ = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnum) override
    {
        if (!ppEnum) return E_INVALIDARG;
        *ppEnum = nullptr;
        std::vector<ItemSnapshot> copies;
        size_t position = 0;
        try {
            std::lock_guard<std::mutex> g(m_);
            copies.reserve(snapshot_.size());
            for (const auto& it : snapshot_) {
                // A copy that cannot be made is left out.
                ItemSnapshot c;
                c.item.reset(new (std::nothrow) OPCItem());
                if (!c.item) continue;
                try {
                    c.item->copyFrom(*it.item);
                } catch (const std::bad_alloc&) {
                    continue;
                }
                c.euType = it.euType;
                c.euInfo = it.euInfo;
                copies.push_back(std::move(c));
            }
            position = position_;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        auto* e = newServerObject<IOPCItemEnumerator>(clientObjects(), std::move(copies));
        if (!e) return E_OUTOFMEMORY;
        e->position_ = position;
        *ppEnum = e;
        return S_OK;
    }

private:
    std::vector<ItemSnapshot> snapshot_;
    size_t position_ = 0;
    std::mutex m_; // calls may arrive on several RPC threads at once
};

} // namespace

HRESULT createItemEnumerator(const std::shared_ptr<ClientObjects>& client, std::vector<ItemSnapshot> snapshot,
                             REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    auto* e = newServerObject<IOPCItemEnumerator>(client, std::move(snapshot));
    if (!e) return E_OUTOFMEMORY;
    HRESULT hr = e->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    e->Release(); // the interface reference keeps it; a failed QueryInterface frees it
    return hr;
}

} // namespace qv
