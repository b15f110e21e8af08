// DA 1.0 IOPCAsyncIO: the same records, queue, limit and id counter as IOPCAsyncIO2, with
// version-1 records that the dispatch pass completes through the group's IDataObject streams.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "runtime/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCAsyncIOImpl : public InterfaceObject<IOPCAsyncIO, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    // dwConnection and dwSource are not consulted: completions go to the sinks of the pass,
    // values come from the items' current values.
    HRESULT STDMETHODCALLTYPE Read(DWORD, OPCDATASOURCE, DWORD dwNumItems, OPCHANDLE* phServer,
                                   DWORD* pTransactionID, HRESULT** ppErrors) override
    {
        return trace::traced("IOPCAsyncIO::Read", dwNumItems, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwNumItems == 0 || !phServer || !pTransactionID || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!owner_->hasDA1DataSink()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return accept(AsyncTransaction::kRead, dwNumItems, phServer, nullptr, pTransactionID, ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwNumItems, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD, DWORD dwNumItems, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    DWORD* pTransactionID, HRESULT** ppErrors) override
    {
        return trace::traced("IOPCAsyncIO::Write", dwNumItems, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwNumItems == 0 || !phServer || !pTransactionID || !ppErrors || !pItemValues) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDA1WriteSink()) return CONNECT_E_NOCONNECTION;
            return accept(AsyncTransaction::kWrite, dwNumItems, phServer, pItemValues, pTransactionID, ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwNumItems, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Refresh(DWORD, OPCDATASOURCE, DWORD* pTransactionID) override
    {
        return trace::traced("IOPCAsyncIO::Refresh", 0, [&]() -> HRESULT {
            if (!pTransactionID) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDA1DataSink()) return CONNECT_E_NOCONNECTION;
            std::unique_ptr<AsyncTransaction> t(new (std::nothrow) AsyncTransaction());
            if (!t) return E_OUTOFMEMORY;
            t->version = 1;
            t->kind = AsyncTransaction::kRefresh;
            try {
                LockGuard lock(App().globalLock);
                if (App().stopped.load() || owner_->gone() || owner_->queueFull()) return E_FAIL;
                // A refresh of nothing would never be answered: refused.
                if (!owner_->canRefresh()) return E_FAIL;
                t->transactionId = owner_->nextTransactionId();
                *pTransactionID = t->transactionId;
                owner_->queue.push_back(std::move(t));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) override
    {
        return trace::traced("IOPCAsyncIO::Cancel", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            LockGuard lock(App().globalLock);
            // Only DA 1.0 records: a DA 2.0 record's transactionId is its client's own number and
            // may equal a DA 1.0 id by chance.
            for (auto& t : owner_->queue) {
                if (t->version == 1 && t->transactionId == dwTransactionID) {
                    // A queued write already went to the host: too late, it completes as written.
                    if (t->kind == AsyncTransaction::kWrite) return E_FAIL;
                    t->cancelled = true;
                    return S_OK;
                }
            }
            return E_FAIL;
        });
    }

private:
    HRESULT accept(DWORD kind, DWORD n, const OPCHANDLE* handles, const VARIANT* values, DWORD* pTransactionID,
                   HRESULT** ppErrors)
    {
        TaskArray<HRESULT> errors(n);
        if (!errors) return E_OUTOFMEMORY;
        HRESULT hr = acceptAsyncRequest(*owner_, 1, kind, n, handles, values, 0, pTransactionID, errors.get());
        // S_FALSE: the invalid handles are marked and left out of the completion, which
        // carries the valid ones (none valid: nothing follows).
        if (hr == S_OK || hr == S_FALSE) *ppErrors = errors.release();
        return hr;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeAsyncIO(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCAsyncIOImpl(g));
}

} // namespace qv
