// IOPCAsyncIO2 and the dispatch pass that completes queued requests. A call only checks and
// queues; the owning server's worker completes the record through IOPCDataCallback.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "runtime/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCAsyncIO3Impl : public InterfaceObject<IOPCAsyncIO3, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                                   HRESULT** ppErrors) override
    {
        return trace::traced("IOPCAsyncIO2::Read", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return accept(AsyncTransaction::kRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        return trace::traced("IOPCAsyncIO2::Write", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || !pItemValues) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            return accept(AsyncTransaction::kWrite, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                          ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        return trace::traced("IOPCAsyncIO2::Refresh2", 0, [&]() -> HRESULT {
            if (!pdwCancelID) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            std::unique_ptr<AsyncTransaction> t(newRefresh(dwTransactionID));
            if (!t) return E_OUTOFMEMORY;
            return queueRefresh(std::move(t), pdwCancelID);
        });
    }

    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override
    {
        return trace::traced("IOPCAsyncIO2::Cancel2", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            LockGuard lock(App().globalLock);
            for (auto& t : owner_->queue) {
                // Only DA 2.0 records: a DA 1.0 record carries no cancel id (0).
                if (t->version == 2 && t->cancelId == dwCancelID) {
                    // A queued write already went to the host: too late, it completes as written.
                    if (t->kind == AsyncTransaction::kWrite) return E_FAIL;
                    t->cancelled = true;
                    return S_OK;
                }
            }
            return E_FAIL;
        });
    }

    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override
    {
        return trace::traced("IOPCAsyncIO2::SetEnable", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            ConnectionContainer<IOPCDataCallback>* c = owner_->dataContainer();
            if (!c || !c->point().hasSink()) return CONNECT_E_NOCONNECTION;
            c->point().enabled.store(bEnable);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override
    {
        return trace::traced("IOPCAsyncIO2::GetEnable", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
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
        return trace::traced("IOPCAsyncIO3::ReadMaxAge", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwMaxAge || !pdwCancelID || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return accept(AsyncTransaction::kRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors,
                          nullptr, pdwMaxAge);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                       DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        return trace::traced("IOPCAsyncIO3::WriteVQT", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || !pItemVQT) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return accept(AsyncTransaction::kWrite, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors,
                          pItemVQT);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        return trace::traced("IOPCAsyncIO3::RefreshMaxAge", 0, [&]() -> HRESULT {
            if (!pdwCancelID) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
            std::unique_ptr<AsyncTransaction> t(newRefresh(dwTransactionID));
            if (!t) return E_OUTOFMEMORY;
            t->maxAgeRead = true;
            try {
                t->maxAges.push_back(dwMaxAge);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            return queueRefresh(std::move(t), pdwCancelID);
        });
    }

private:
    static AsyncTransaction* newRefresh(DWORD transactionId)
    {
        AsyncTransaction* t = new (std::nothrow) AsyncTransaction();
        if (t) {
            t->kind = AsyncTransaction::kRefresh;
            t->transactionId = transactionId;
        }
        return t;
    }

    // Refresh2 and RefreshMaxAge from the queueing on (their checks are done).
    HRESULT queueRefresh(std::unique_ptr<AsyncTransaction> t, DWORD* pdwCancelID)
    {
        try {
            LockGuard lock(App().globalLock);
            // Checked again where it counts: another thread may have queued meanwhile.
            if (App().stopped.load() || owner_->gone() || owner_->queueFull()) return E_FAIL;
            // A refresh reports the active items of an active group: one of nothing would never
            // be answered, so it is refused.
            if (!owner_->canRefresh()) return E_FAIL;
            t->cancelId = owner_->nextTransactionId();
            *pdwCancelID = t->cancelId;
            owner_->queue.push_back(std::move(t));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    // Read and Write from the allocation on (their argument checks are done).
    HRESULT accept(DWORD kind, DWORD n, const OPCHANDLE* handles, const VARIANT* values, DWORD transactionId,
                   DWORD* pdwCancelID, HRESULT** ppErrors, const OPCITEMVQT* vqt = nullptr,
                   const DWORD* maxAges = nullptr)
    {
        TaskArray<HRESULT> errors(n);
        if (!errors) return E_OUTOFMEMORY;
        HRESULT hr = acceptAsyncRequest(*owner_, 2, kind, n, handles, values, transactionId, pdwCancelID, errors.get(),
                                        vqt, maxAges);
        // A dropped request (S_FALSE) still tells the client which handles were wrong.
        if (hr == S_OK || hr == S_FALSE) *ppErrors = errors.release();
        return hr;
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
                if (!(*it)->busy) {
                    rec = std::move(*it);
                    queue.erase(it);
                }
                break;
            }
        }
        if (!rec) continue; // busy (stays for a later pass) or already gone
        if (rec->version == 2) {
            completeTransaction(*this, *rec);
        } else if (rec->version == 1) {
            // DA 1.0 records complete through the group's IDataObject when it exists.
            if (DA1DataSinks* da1 = da1Sinks(*this)) da1->complete(*this, *rec);
        }
    }
}

} // namespace qv
