// Accepting asynchronous requests, one function per kind: shared by IOPCAsyncIO2/3 and the
// DA 1.0 IOPCAsyncIO, which share the group's queue, its limit and its id counter. A call only
// checks and queues; the client's worker performs and completes the record (dispatchQueue).
#include <new>
#include <string>
#include "dataio/DataIo.h"
#include "core/OPCServerApp.h"

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

bool OPCGroup::takesRequests()
{
    return !App().stopped.load() && !closed() && !queueFull();
}

namespace {

// Issues the record's id and appends it (global lock held, checks done).
void queueRecord(OPCGroup& g, std::unique_ptr<AsyncTransaction> t, DWORD clientTransactionId, DWORD* issuedId)
{
    const DWORD id = g.nextTransactionId();
    if (t->version == 2) {
        t->transactionId = clientTransactionId;
        t->cancelId = id;
    } else {
        t->transactionId = id;
    }
    g.queue.push_back(std::move(t)); // may throw: nothing issued to the client yet
    *issuedId = id;
}

std::unique_ptr<AsyncTransaction> newRecord(DWORD version, DWORD kind)
{
    std::unique_ptr<AsyncTransaction> t(new (std::nothrow) AsyncTransaction());
    if (t) {
        t->version = version;
        t->kind = kind;
    }
    return t;
}

} // namespace

HRESULT acceptRead(OPCGroup& g, const AsyncRequest& r, const DWORD* maxAges, bool device)
{
    std::unique_ptr<AsyncTransaction> t = newRecord(r.version, AsyncTransaction::kRead);
    if (!t) return E_OUTOFMEMORY;
    try {
        t->serverHandles.reserve(r.n);
        t->clientHandles.reserve(r.n);
        // DA 2.0 device reads and DA 3.0 maximum-age reads complete through the maximum-age
        // path (a device read is an age of 0); DA 1.0 marks the record.
        if (maxAges || (device && r.version == 2)) {
            t->maxAgeRead = true;
            t->maxAges.reserve(r.n);
        } else {
            t->device = device;
        }
        LockGuard lock(App().globalLock);
        if (!g.takesRequests()) return E_FAIL;
        for (DWORD i = 0; i < r.n; ++i) {
            OPCItem* it = g.findItem(r.handles[i]);
            r.errors[i] = it ? S_OK : OPC_E_INVALIDHANDLE;
            if (!it) continue;
            t->serverHandles.push_back(r.handles[i]);
            t->clientHandles.push_back(it->clientHandle);
            if (t->maxAgeRead) t->maxAges.push_back(maxAges ? maxAges[i] : 0);
        }
        // Invalid handles are left out; with none valid nothing is queued and nothing follows.
        if (t->serverHandles.empty()) {
            *r.issuedId = g.nextTransactionId(); // an id all the same, as for any accepted call
            return S_FALSE;
        }
        const bool partial = t->serverHandles.size() < r.n;
        queueRecord(g, std::move(t), r.clientTransactionId, r.issuedId);
        return partial ? S_FALSE : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT acceptWrite(OPCGroup& g, const AsyncRequest& r, const VARIANT* values, const OPCITEMVQT* vqt)
{
    std::unique_ptr<AsyncTransaction> t = newRecord(r.version, AsyncTransaction::kWrite);
    if (!t) return E_OUTOFMEMORY;
    // Items refused at the call, told to the host's write audit once the lock is left.
    struct Refused {
        std::string name;
        const VARIANT* value;
        const OPCITEMVQT* vqt; // with its quality and time stamp (DA 3.0), or null
        HRESULT hr;
    };
    std::vector<Refused> refused;
    ClientIdentity who;
    HRESULT result;
    try {
        t->serverHandles.reserve(r.n);
        t->clientHandles.reserve(r.n);
        t->values.reserve(r.n);
        t->writeResults.reserve(r.n);
        if (vqt) t->stamps.reserve(r.n);
        LockGuard lock(App().globalLock);
        if (!g.takesRequests()) return E_FAIL;
        who = writerOf(g);
        const bool auditing = App().writeAuditProc.load() != nullptr;
        for (DWORD i = 0; i < r.n; ++i) {
            OPCItem* it = g.findItem(r.handles[i]);
            const VARIANT* given = vqt ? &vqt[i].vDataValue : &values[i];
            if (!it) {
                r.errors[i] = OPC_E_INVALIDHANDLE;
                if (auditing) refused.push_back({std::string(), given, vqt ? &vqt[i] : nullptr, OPC_E_INVALIDHANDLE});
                continue;
            }
            // Rights and type are known now: the client hears of them here, as the OPC standard
            // asks, and the item is left out of the completion. [in] values: private copies.
            Variant converted;
            HRESULT hr;
            if (vqt) {
                hr = checkItemVQT(*it, vqt[i], converted.get());
            } else {
                // A client object is never copied or converted (that would call into it).
                hr = holdsObject(values[i]) ? DISP_E_TYPEMISMATCH
                                            : VariantCopyInd(converted.get(), const_cast<VARIANT*>(&values[i]));
                if (SUCCEEDED(hr)) hr = it->checkWrite(converted.get());
            }
            r.errors[i] = hr;
            if (hr != S_OK) {
                if (auditing) refused.push_back({it->tagName, given, vqt ? &vqt[i] : nullptr, hr});
                continue;
            }
            t->serverHandles.push_back(r.handles[i]);
            t->clientHandles.push_back(it->clientHandle);
            t->values.push_back(std::move(converted));
            t->writeResults.push_back(S_OK); // the host's verdict comes in the dispatch pass
            if (vqt) {
                AsyncTransaction::Stamp s;
                s.hasQuality = vqt[i].bQualitySpecified != FALSE;
                s.hasTime = vqt[i].bTimeStampSpecified != FALSE;
                s.quality = vqt[i].wQuality;
                s.time = vqt[i].ftTimeStamp;
                t->stamps.push_back(s);
            }
        }
        if (t->serverHandles.empty()) {
            *r.issuedId = g.nextTransactionId(); // an id all the same, as for any accepted call
            result = S_FALSE;
        } else {
            const bool partial = t->serverHandles.size() < r.n;
            t->writer = who;
            // The host sees the values only in the worker's dispatch pass: until then a cancel
            // withdraws them.
            queueRecord(g, std::move(t), r.clientTransactionId, r.issuedId);
            result = partial ? S_FALSE : S_OK;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (const Refused& x : refused)
        x.vqt ? App().tags.refusedWrite(who, x.name, *x.vqt, x.hr) : App().tags.refusedWrite(who, x.name, x.value, x.hr);
    return result;
}

HRESULT acceptRefresh(OPCGroup& g, DWORD version, DWORD clientTransactionId, bool device, const DWORD* maxAge,
                      DWORD* issuedId)
{
    std::unique_ptr<AsyncTransaction> t = newRecord(version, AsyncTransaction::kRefresh);
    if (!t) return E_OUTOFMEMORY;
    try {
        if (maxAge || (device && version == 2)) {
            t->maxAgeRead = true;
            t->maxAges.push_back(maxAge ? *maxAge : 0);
        } else {
            t->device = device;
        }
        LockGuard lock(App().globalLock);
        if (!g.takesRequests()) return E_FAIL;
        // A refresh reports the active items of an active group: one of nothing would never
        // be answered, so it is refused.
        if (!g.canRefresh()) return E_FAIL;
        queueRecord(g, std::move(t), clientTransactionId, issuedId);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT cancelRequest(OPCGroup& g, DWORD version, DWORD id)
{
    if (g.closed()) return kGoneResult;
    LockGuard lock(App().globalLock);
    for (auto& t : g.queue) {
        // DA 2.0 records by cancel id; DA 1.0 ones by transaction id (a DA 2.0 record's
        // transactionId is its client's own number and may equal a DA 1.0 id by chance).
        const DWORD qid = version == 2 ? t->cancelId : t->transactionId;
        if (t->version != version || qid != id || t->cancelled) continue;
        // Still queued: nothing of it reached the host. A write the dispatch pass took out
        // is not found any more (E_FAIL) and completes as written.
        t->cancelled = true;
        return S_OK;
    }
    return E_FAIL;
}

void performWrite(OPCGroup& g, AsyncTransaction& t)
{
    OPCServerApp& app = App();
    const size_t n = t.writeResults.size();
    std::vector<std::string> names;
    try {
        names.resize(n);
    } catch (const std::bad_alloc&) {
        // Nothing went to the host: the completion says so.
        for (HRESULT& r : t.writeResults) r = E_OUTOFMEMORY;
        return;
    }
    std::vector<bool> vanished(n, false);
    {
        LockGuard lock(app.globalLock);
        for (size_t i = 0; i < n; ++i) {
            const OPCItem* it = g.gone() ? nullptr : g.findItem(t.serverHandles[i]);
            if (it) {
                names[i] = it->tagName;
            } else if (t.writeResults[i] == S_OK) {
                t.writeResults[i] = OPC_E_INVALIDHANDLE;
                vanished[i] = true;
            }
        }
    }
    // The host's callbacks run here, on the worker, without the lock. An item removed
    // meanwhile completes with OPC_E_INVALIDHANDLE and never reaches the host.
    for (size_t i = 0; i < n && i < t.values.size(); ++i) {
        const AsyncTransaction::Stamp* s = t.stamps.empty() ? nullptr : &t.stamps[i];
        const WORD* quality = s && s->hasQuality ? &s->quality : nullptr;
        const FILETIME* time = s && s->hasTime ? &s->time : nullptr;
        if (vanished[i]) app.tags.refusedWrite(t.writer, "", t.values[i].get(), OPC_E_INVALIDHANDLE, quality, time);
        // Neither quality nor time stamp: the plain write path (clientWriteVQT picks it).
        if (t.writeResults[i] == S_OK)
            t.writeResults[i] = app.tags.clientWriteVQT(t.writer, names[i], *t.values[i].get(), quality, time);
    }
}

void performDeviceRead(OPCGroup& g, const AsyncTransaction& t)
{
    OPCServerApp& app = App();
    const QV_DEVICEREADPROC proc = app.deviceReadProc.load();
    if (!proc) return; // no device to ask: the cache is the answer
    std::vector<DWORD> tags;
    try {
        LockGuard lock(app.globalLock);
        if (g.gone()) return;
        auto add = [&](const OPCItem& it) {
            if (const OPCTag* tag = app.tags.lookup(it.tagName)) tags.push_back(tag->handle);
        };
        if (t.kind == AsyncTransaction::kRead) {
            for (OPCHANDLE h : t.serverHandles)
                if (const OPCItem* it = g.findItem(h)) add(*it);
        } else {
            for (auto& kv : g.items)
                if (kv.second->active) add(*kv.second);
        }
    } catch (const std::bad_alloc&) {
        return; // the completion serves the cache
    }
    // The answers refresh the tags and their followers; the completion then reads the items.
    for (DWORD tag : tags) {
        Variant v;
        WORD q = 0;
        FILETIME ft{};
        deviceRead(proc, tag, VT_EMPTY, v.get(), &q, &ft);
    }
}

} // namespace qv
