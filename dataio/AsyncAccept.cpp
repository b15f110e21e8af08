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

bool OPCGroup::canRefresh() const
{
    if (!active.load()) return false;
    for (const auto& kv : items)
        if (kv.second->active) return true;
    return false;
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
    std::vector<const OPCITEMVQT*> vqtOf;
    bool partial = false;
    ClientIdentity who;
    try {
        t->serverHandles.reserve(n);
        if (maxAges) {
            t->maxAgeRead = true;
            t->maxAges.reserve(n);
        }
        if (write) {
            converted.resize(n);
            names.resize(n);
            results.resize(n);
            if (vqt) vqtOf.resize(n);
        }
        LockGuard lock(app.globalLock);
        // Checked again here, at the moment of appending, so concurrent callers cannot pass the
        // limit. After the stop nothing would ever complete the request.
        if (app.stopped.load() || g.gone() || g.queueFull()) return E_FAIL;
        id = g.nextTransactionId();
        if (write) who = writerOf(g);
        if (version == 2) {
            t->transactionId = clientTransactionId;
            t->cancelId = id;
        } else {
            t->transactionId = id;
        }
        *issuedId = id;
        // Invalid handles get their error and are left out; the valid ones are processed and
        // completed. With none valid nothing is queued and no completion follows.
        DWORD valid = 0;
        for (DWORD i = 0; i < n; ++i) {
            OPCItem* it = g.findItem(handles[i]);
            errors[i] = it ? S_OK : OPC_E_INVALIDHANDLE;
            if (!it) continue;
            t->serverHandles.push_back(handles[i]);
            if (maxAges) t->maxAges.push_back(maxAges[i]);
            if (!write) {
                ++valid;
                continue;
            }
            names[valid] = it->tagName;
            Variant& out = converted[valid];
            // [in] values: the conversion works on a private copy.
            if (vqt) {
                vqtOf[valid] = &vqt[i];
                results[valid++] = checkItemVQT(*it, vqt[i], out.get());
                continue;
            }
            // A client object is never copied or converted (that would call into it).
            HRESULT hr = holdsObject(values[i]) ? DISP_E_TYPEMISMATCH
                                                : VariantCopyInd(out.get(), const_cast<VARIANT*>(&values[i]));
            results[valid++] = SUCCEEDED(hr) ? it->checkWrite(out.get()) : hr;
        }
        partial = valid < n;
        if (valid == 0) return S_FALSE;
        if (write) {
            results.resize(valid);
            t->busy = true;
        }
        queued = t.get();
        g.queue.push_back(std::move(t));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!write) return partial ? S_FALSE : S_OK;

    // The tag writes call the host: on this thread, without the lock, the record busy
    // meanwhile. An accepted value reaches every follower of its tag.
    for (size_t i = 0; i < results.size(); ++i)
        results[i] = results[i] != S_OK ? app.tags.refusedWrite(who, names[i], converted[i].get(), results[i])
                     : vqt              ? writeTagVQT(who, names[i], *converted[i].get(), *vqtOf[i])
                                        : app.tags.clientWrite(who, names[i], *converted[i].get());
    // Unknown handles were refused at once; the audit hears of them too.
    for (DWORD i = 0; i < n; ++i)
        if (errors[i] == OPC_E_INVALIDHANDLE)
            app.tags.refusedWrite(who, std::string(), vqt ? &vqt[i].vDataValue : &values[i], errors[i]);
    LockGuard lock(app.globalLock);
    // The group may have been destroyed meanwhile (its queue freed): find the record first.
    for (auto& q : g.queue) {
        const DWORD qid = version == 2 ? q->cancelId : q->transactionId;
        if (q.get() == queued && q->version == version && qid == id && q->busy) {
            q->writeResults.swap(results);
            q->busy = false;
            break;
        }
    }
    return partial ? S_FALSE : S_OK;
}

} // namespace qv
