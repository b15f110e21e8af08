// IOPCAsyncIO2 and the dispatch pass that completes queued requests. A call only checks and
// queues; the owning server's worker completes the record through IOPCDataCallback.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "runtime/OPCServerApp.h"

namespace qv {

namespace {

class AsyncIO2 : public InterfaceObject<IOPCAsyncIO2, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                                   HRESULT** ppErrors) override
    {
        if (ppErrors) *ppErrors = nullptr;
        if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors) return E_INVALIDARG;
        if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
        if (queueFull()) return E_FAIL;
        return accept(AsyncTransaction::kRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors);
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) override
    {
        if (ppErrors) *ppErrors = nullptr;
        if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || !pItemValues) return E_INVALIDARG;
        if (queueFull()) return E_FAIL;
        if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
        return accept(AsyncTransaction::kWrite, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                      ppErrors);
    }

    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        if (!pdwCancelID) return E_INVALIDARG;
        if (queueFull()) return E_FAIL;
        if (!owner_->hasDataCallback()) return CONNECT_E_NOCONNECTION;
        std::unique_ptr<AsyncTransaction> t(new (std::nothrow) AsyncTransaction());
        if (!t) return E_OUTOFMEMORY;
        t->version = 2;
        t->kind = AsyncTransaction::kRefresh;
        t->transactionId = dwTransactionID;
        try {
            LockGuard lock(App().globalLock);
            // Checked again where it counts: another thread may have queued meanwhile.
            if (owner_->dead || owner_->queue.size() >= OPCGroup::kMaxQueued) return E_FAIL;
            t->cancelId = owner_->nextTransactionId();
            *pdwCancelID = t->cancelId;
            owner_->queue.push_back(std::move(t));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override
    {
        LockGuard lock(App().globalLock);
        for (auto& t : owner_->queue) {
            if (t->cancelId == dwCancelID) {
                t->cancelled = true;
                return S_OK;
            }
        }
        return E_FAIL;
    }

    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override
    {
        ConnectionContainer<IOPCDataCallback>* c = owner_->dataContainer();
        if (!c || !c->point().hasSink()) return CONNECT_E_NOCONNECTION;
        c->point().enabled.store(bEnable);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override
    {
        ConnectionContainer<IOPCDataCallback>* c = owner_->dataContainer();
        if (!c || !c->point().hasSink()) return CONNECT_E_NOCONNECTION;
        if (!pbEnable) return E_INVALIDARG;
        *pbEnable = c->point().enabled.load();
        return S_OK;
    }

private:
    bool queueFull()
    {
        LockGuard lock(App().globalLock);
        return owner_->queue.size() >= OPCGroup::kMaxQueued;
    }

    // Read and Write from the allocation on (their argument checks are done).
    HRESULT accept(DWORD kind, DWORD n, const OPCHANDLE* handles, const VARIANT* values, DWORD transactionId,
                   DWORD* pdwCancelID, HRESULT** ppErrors)
    {
        OPCServerApp& app = App();
        TaskPtr<HRESULT> errors(app.taskAllocArray<HRESULT>(n));
        if (!errors) return E_OUTOFMEMORY;
        std::unique_ptr<AsyncTransaction> t(new (std::nothrow) AsyncTransaction());
        if (!t) return E_OUTOFMEMORY;
        t->version = 2;
        t->kind = kind;
        t->transactionId = transactionId;
        AsyncTransaction* queued = nullptr;
        DWORD cancelId = 0;
        std::vector<Variant> converted;
        std::vector<std::string> names;
        std::vector<HRESULT> results;
        try {
            t->serverHandles.reserve(n);
            if (kind == AsyncTransaction::kWrite) {
                converted.resize(n);
                names.resize(n);
                results.resize(n);
            }
            LockGuard lock(app.globalLock);
            if (owner_->dead || owner_->queue.size() >= OPCGroup::kMaxQueued) return E_FAIL;
            cancelId = t->cancelId = owner_->nextTransactionId();
            *pdwCancelID = cancelId;
            bool allValid = true;
            for (DWORD i = 0; i < n; ++i) {
                t->serverHandles.push_back(handles[i]);
                const bool valid = owner_->findItem(handles[i]) != nullptr;
                errors[i] = valid ? S_OK : OPC_E_INVALIDHANDLE;
                allValid = allValid && valid;
            }
            if (!allValid) {
                // The request is dropped whole: nothing is read or written, no completion.
                *ppErrors = errors.release();
                return S_FALSE;
            }
            if (kind == AsyncTransaction::kWrite) {
                for (DWORD i = 0; i < n; ++i) {
                    OPCItem* it = owner_->findItem(handles[i]);
                    names[i] = it->tagName;
                    // [in] values: the conversion works on a private copy.
                    HRESULT hr = VariantCopyInd(converted[i].get(), const_cast<VARIANT*>(&values[i]));
                    results[i] = SUCCEEDED(hr) ? it->writeValue(converted[i].get()) : hr;
                }
                t->busy = true;
            }
            queued = t.get();
            owner_->queue.push_back(std::move(t));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        *ppErrors = errors.release();
        if (kind != AsyncTransaction::kWrite) return S_OK;

        // The tag writes run on this thread without the lock; the record stays busy meanwhile.
        for (DWORD i = 0; i < n; ++i)
            if (results[i] == S_OK) results[i] = app.tags.clientWrite(names[i], *converted[i].get());
        LockGuard lock(app.globalLock);
        // The group may have been destroyed meanwhile (its queue freed): find the record first.
        for (auto& q : owner_->queue) {
            if (q.get() == queued && q->cancelId == cancelId && q->busy) {
                q->writeResults.swap(results);
                q->busy = false;
                break;
            }
        }
        return S_OK;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeAsyncIO2(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) AsyncIO2(g));
}

void OPCGroup::dispatchQueue()
{
    std::vector<AsyncTransaction*> pending;
    {
        LockGuard lock(App().globalLock);
        if (dead || queue.empty()) return;
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
