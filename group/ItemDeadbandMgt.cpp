// IOPCItemDeadbandMgt: a percent deadband per item that overrides the group's in the change
// detection of host updates.
#include <new>
#include "group/OPCGroup.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

// A deadband is a percentage of the EU range, so only an item whose tag declares itself
// analog (property 7) has one (global lock held).
bool analog(const OPCItem& it)
{
    const OPCTag* tag = App().tags.lookup(it.tagName);
    return tag && tag->euType() == OPC_ANALOG;
}

class OPCItemDeadbandMgtImpl : public InterfaceObject<IOPCItemDeadbandMgt, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                              HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemDeadbandMgt::SetItemDeadband", dwCount, [&]() -> HRESULT {
            return each(dwCount, phServer, ppErrors, pPercentDeadband, [&](OPCItem& it, DWORD i) -> HRESULT {
                const float d = pPercentDeadband[i];
                if (!(d >= 0.0f && d <= 100.0f)) return E_INVALIDARG; // NaN too
                it.hasItemDeadband = true;
                it.itemDeadband = d;
                return S_OK;
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                              HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemDeadbandMgt::GetItemDeadband", dwCount, [&]() -> HRESULT {
            if (ppPercentDeadband) *ppPercentDeadband = nullptr;
            if (!ppPercentDeadband) return E_INVALIDARG;
            TaskArray<FLOAT> out(dwCount);
            if (!out) return E_OUTOFMEMORY;
            HRESULT hr = each(dwCount, phServer, ppErrors, out.get(), [&](OPCItem& it, DWORD i) -> HRESULT {
                if (!it.hasItemDeadband) return OPC_E_DEADBANDNOTSET;
                out[i] = it.itemDeadband;
                return S_OK;
            });
            if (SUCCEEDED(hr)) *ppPercentDeadband = out.release();
            return hr;
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemDeadbandMgt::ClearItemDeadband", dwCount, [&]() -> HRESULT {
            return each(dwCount, phServer, ppErrors, phServer, [&](OPCItem& it, DWORD) -> HRESULT {
                if (!it.hasItemDeadband) return OPC_E_DEADBANDNOTSET;
                it.hasItemDeadband = false;
                return S_OK;
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

private:
    // Runs op on every analog item under the lock; S_FALSE when any item failed.
    template <class Op>
    HRESULT each(DWORD n, const OPCHANDLE* handles, HRESULT** ppErrors, const void* array, Op op)
    {
        if (ppErrors) *ppErrors = nullptr;
        if (n == 0 || !handles || !array || !ppErrors) return E_INVALIDARG;
        TaskArray<HRESULT> errors(n);
        if (!errors) return E_OUTOFMEMORY;
        bool allOk = true;
        {
            LockGuard g(App().globalLock);
            if (owner_->gone()) return kGoneResult;
            for (DWORD i = 0; i < n; ++i) {
                OPCItem* it = owner_->findItem(handles[i]);
                errors[i] = !it ? OPC_E_INVALIDHANDLE : !analog(*it) ? OPC_E_DEADBANDNOTSUPPORTED : op(*it, i);
                allOk = allOk && errors[i] == S_OK;
            }
        }
        *ppErrors = errors.release();
        return allOk ? S_OK : S_FALSE;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeItemDeadbandMgt(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCItemDeadbandMgtImpl(g));
}

} // namespace qv
