// Accepting an asynchronous request: shared by IOPCAsyncIO2 and the DA 1.0 IOPCAsyncIO, which
// share the group's queue, its limit and its id counter.
#include <new>
#include <string>
#include "dataio/DataIo.h"
#include "runtime/OPCServerApp.h"

namespace qv {

bool OPCGroup::queueFull()
{
    const DWORD limit = App().asyncQueueLimit.load();
    LockGuard lock(App().globalLock);
    return limit != 0 && queue.size() >= limit;
}

HRESULT acceptAsyncRequest(OPCGroup& g, DWORD version, DWORD kind, DWORD n, const OPCHANDLE* handles,
                           const VARIANT* values, DWORD clientTransactionId, DWORD* issuedId, HRESULT* errors,
                           const OPCITEMVQT* vqt, const DWORD* maxAges)
{
    OPCServerApp& app = App();
    std::unique_ptr<AsyncTransaction> t(new (std::nothrow) AsyncTransaction());
    if (!t) return E_OUTOFMEMORY;
    t->version = version;
    t->kind = kind;
    const bool write = kind == AsyncTransaction::kWrite;
    AsyncTransaction* queued = nullptr;
    DWORD id = 0;
    std::vector<Variant> converted;
    std::vector<std::string> names;
    std::vector<HRESULT> results;
    try {
        t->serverHandles.reserve(n);
        if (maxAges) {
            t->maxAgeRead = true;
            t->maxAges.assign(maxAges, maxAges + n);
        }
        if (write) {
            converted.resize(n);
            names.resize(n);
            results.resize(n);
        }
        LockGuard lock(app.globalLock);
        // Checked again here, at the moment of appending, so concurrent callers cannot pass the
        // limit. After the stop nothing would ever complete the request.
        if (app.stopped.load() || g.gone() || g.queueFull()) return E_FAIL;
        id = g.nextTransactionId();
        if (version == 2) {
            t->transactionId = clientTransactionId;
            t->cancelId = id;
        } else {
            t->transactionId = id;
        }
        *issuedId = id;
        bool allValid = true;
        for (DWORD i = 0; i < n; ++i) {
            t->serverHandles.push_back(handles[i]);
            const bool valid = g.findItem(handles[i]) != nullptr;
            errors[i] = valid ? S_OK : OPC_E_INVALIDHANDLE;
            allValid = allValid && valid;
        }
        if (!allValid) return S_FALSE; // dropped whole: nothing is read or written
        if (write) {
            for (DWORD i = 0; i < n; ++i) {
                OPCItem* it = g.findItem(handles[i]);
                names[i] = it->tagName;
                // [in] values: the conversion works on a private copy.
                if (vqt) {
                    results[i] = checkItemVQT(*it, vqt[i], converted[i].get());
                    continue;
                }
                // A client object is never copied or converted (that would call into it).
                HRESULT hr = holdsObject(values[i]) ? DISP_E_TYPEMISMATCH
                                                    : VariantCopyInd(converted[i].get(), const_cast<VARIANT*>(&values[i]));
                results[i] = SUCCEEDED(hr) ? it->checkWrite(converted[i].get()) : hr;
            }
            t->busy = true;
        }
        queued = t.get();
        g.queue.push_back(std::move(t));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!write) return S_OK;

    // The tag writes call the host: on this thread, without the lock, the record busy meanwhile.
    for (DWORD i = 0; i < n; ++i)
        if (results[i] == S_OK)
            results[i] = vqt ? writeTagVQT(names[i], *converted[i].get(), vqt[i], &converted[i])
                             : app.tags.clientWrite(names[i], *converted[i].get(), &converted[i]);
    LockGuard lock(app.globalLock);
    // Only what the host accepted enters the items.
    for (DWORD i = 0; i < n; ++i)
        if (results[i] == S_OK)
            if (OPCItem* it = g.findItem(handles[i])) {
                it->storeWritten(*converted[i].get());
                if (vqt) applyItemVQT(*it, vqt[i]);
            }
    // The group may have been destroyed meanwhile (its queue freed): find the record first.
    for (auto& q : g.queue) {
        const DWORD qid = version == 2 ? q->cancelId : q->transactionId;
        if (q.get() == queued && q->version == version && qid == id && q->busy) {
            q->writeResults.swap(results);
            q->busy = false;
            break;
        }
    }
    return S_OK;
}

} // namespace qv
