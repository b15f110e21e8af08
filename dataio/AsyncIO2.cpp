// IOPCAsyncIO2 and the dispatch pass that completes queued requests. A call only checks and
// queues; the owning server's worker completes the record through IOPCDataCallback.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCAsyncIO3Impl : public InterfaceObject<IOPCAsyncIO3, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                                   HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::Read", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            // The OPC standard's asynchronous read always reads the device.
            return acceptWithErrors(2, dwTransactionID, dwCount, phServer, pdwCancelID, ppErrors, [&](const AsyncRequest& r) {
                return acceptRead(*owner_, r, nullptr, true);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::Write", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || !pItemValues) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            return acceptWithErrors(2, dwTransactionID, dwCount, phServer, pdwCancelID, ppErrors, [&](const AsyncRequest& r) {
                return acceptWrite(*owner_, r, pItemValues, nullptr);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::Refresh2", 0, [&]() -> HRESULT {
            if (!pdwCancelID) return E_INVALIDARG;
            if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            return acceptRefresh(*owner_, 2, dwTransactionID, dwSource == OPC_DS_DEVICE, nullptr, pdwCancelID);
        });
    }

    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::Cancel2", 0, [&]() -> HRESULT {
            return cancelRequest(*owner_, 2, dwCancelID);
        });
    }

    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::SetEnable", 0, [&]() -> HRESULT {
            if (owner_->closed()) return kGoneResult;
            ConnectionContainer<IOPCDataCallback>* c = owner_->dataContainer();
            if (!c || !c->point().hasSink()) return CONNECT_E_NOCONNECTION;
            c->point().enabled.store(bEnable);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO2::GetEnable", 0, [&]() -> HRESULT {
            if (owner_->closed()) return kGoneResult;
            ConnectionContainer<IOPCDataCallback>* c = owner_->dataContainer();
            if (!c || !c->point().hasSink()) return CONNECT_E_NOCONNECTION;
            if (!pbEnable) return E_INVALIDARG;
            *pbEnable = c->point().enabled.load();
            return S_OK;
        });
    }

    // ---- IOPCAsyncIO3 ----
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO3::ReadMaxAge", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwMaxAge || !pdwCancelID || !ppErrors) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return acceptWithErrors(2, dwTransactionID, dwCount, phServer, pdwCancelID, ppErrors, [&](const AsyncRequest& r) {
                return acceptRead(*owner_, r, pdwMaxAge, false);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                       DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO3::WriteVQT", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || !pItemVQT) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return acceptWithErrors(2, dwTransactionID, dwCount, phServer, pdwCancelID, ppErrors, [&](const AsyncRequest& r) {
                return acceptWrite(*owner_, r, nullptr, pItemVQT);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO3::RefreshMaxAge", 0, [&]() -> HRESULT {
            if (!pdwCancelID) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            return acceptRefresh(*owner_, 2, dwTransactionID, false, &dwMaxAge, pdwCancelID);
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeAsyncIO2(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCAsyncIO3Impl(g));
}

void OPCGroup::dispatchQueue()
{
    std::vector<AsyncTransaction*> pending;
    {
        LockGuard lock(App().globalLock);
        if (gone() || queue.empty()) return;
        try {
            pending.reserve(queue.size());
            for (auto& t : queue) pending.push_back(t.get());
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    for (AsyncTransaction* p : pending) {
        std::unique_ptr<AsyncTransaction> rec;
        {
            LockGuard lock(App().globalLock);
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (it->get() != p) continue;
                rec = std::move(*it);
                queue.erase(it);
                break;
            }
        }
        if (!rec) continue; // already gone (cancelled records still complete)
        // Taken out of the queue: from here a cancel is too late. The host hears a write (and
        // a DA 1.0 device read asks it) now, on this thread, without the lock.
        if (!rec->cancelled) {
            if (rec->kind == AsyncTransaction::kWrite) performWrite(*this, *rec);
            else if (rec->device) performDeviceRead(*this, *rec);
        }
        if (rec->version == 2) {
            completeTransaction(*this, *rec);
        } else if (rec->version == 1) {
            // DA 1.0 records complete through the group's IDataObject when it exists.
            if (DA1DataSinks* da1 = da1Sinks(*this)) da1->complete(*this, *rec);
        }
    }
}

} // namespace qv
