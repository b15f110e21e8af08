// DA 3.0 data paths of a group: reads under a maximum age (IOPCSyncIO2, IOPCAsyncIO3), the
// checks and tag write of a WriteVQT, and the keep-alive callback.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "group/OPCGroup.h"
#include "server/OPCServer.h"

namespace qv {

bool tooOld(DWORD maxAge, const FILETIME& stamp, const FILETIME& now)
{
    if (maxAge == 0) return true;
    if (maxAge == 0xFFFFFFFFu) return false;
    const ULONGLONG n = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG s = (static_cast<ULONGLONG>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
    // A stamp in the future counts as fresh.
    const ULONGLONG ageMs = n > s ? (n - s) / 10000 : 0;
    return ageMs > maxAge;
}

HRESULT deviceRead(QV_DEVICEREADPROC proc, DWORD tagHandle, VARTYPE requested, VARIANT* value, WORD* quality,
                   FILETIME* time)
{
    VariantInit(value);
    *quality = 0;
    *time = FILETIME{};
    callHost([&] { proc(tagHandle, value, quality, time); });
    if (V_VT(value) == VT_EMPTY) {
        // The device had nothing to say: the cache answers, as without a device-read callback,
        // never an empty value called good. A tag removed meanwhile has no value to give.
        VariantClear(value);
        if (!App().tags.read(tagHandle, value, quality, time)) {
            *quality = OPC_QUALITY_BAD;
            *time = FILETIME{};
            return E_FAIL;
        }
    } else {
        if (time->dwLowDateTime == 0 && time->dwHighDateTime == 0) *time = utcNow();
        // What the device said is the tag's newest value: the cache and every follower take it,
        // so maximum-age reads are served from the cache while it is young.
        App().tags.deviceValue(tagHandle, *value, *quality, *time);
    }
    HRESULT hr = S_OK;
    if (requested != VT_EMPTY && V_VT(value) != requested) hr = VariantChangeType(value, value, 0, requested);
    if (FAILED(hr)) {
        VariantClear(value);
        *quality = 0;
    }
    return hr;
}

bool readItemsMaxAge(OPCGroup& g, DWORD n, const OPCHANDLE* handles, const DWORD* ages, bool oneAge,
                     VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors, OPCHANDLE* clientHandles)
{
    OPCServerApp& app = App();
    struct DeviceRead { DWORD index; DWORD tag; VARTYPE requested; };
    std::vector<DeviceRead> device;
    const QV_DEVICEREADPROC proc = app.deviceReadProc.load();
    bool allOk = true;
    const FILETIME now = utcNow(); // one clock read for the whole call
    {
        LockGuard lock(app.globalLock);
        for (DWORD i = 0; i < n; ++i) {
            VariantInit(&values[i]);
            OPCItem* it = g.gone() ? nullptr : g.findItem(handles[i]);
            HRESULT hr = S_OK;
            if (!it) {
                hr = OPC_E_INVALIDHANDLE;
            } else {
                if (clientHandles) clientHandles[i] = it->clientHandle;
                // No name lookup where the device cannot be wanted (a cache read).
                const bool old = proc && tooOld(ages[oneAge ? 0 : i], it->timestamp, now);
                const OPCTag* tag = old ? app.tags.lookup(it->tagName) : nullptr;
                // Active state does not matter here: the client asked for these values.
                if (!(it->accessRights & OPC_READABLE)) hr = OPC_E_BADRIGHTS;
                else if (tag) device.push_back({i, tag->handle, it->requestedType});
                else hr = it->readValue(&values[i], qualities ? &qualities[i] : nullptr, times ? &times[i] : nullptr);
            }
            if (clientHandles && !it) clientHandles[i] = 0;
            if (errors) errors[i] = hr;
            allOk = allOk && hr == S_OK;
        }
    }
    // The host is called without the lock.
    for (const DeviceRead& d : device) {
        WORD q = 0;
        FILETIME t{};
        const HRESULT hr = deviceRead(proc, d.tag, d.requested, &values[d.index], &q, &t);
        allOk = allOk && hr == S_OK;
        if (qualities) qualities[d.index] = q;
        if (times) times[d.index] = t;
        if (errors) errors[d.index] = hr;
    }
    return allOk;
}

HRESULT checkItemVQT(OPCItem& it, const OPCITEMVQT& vqt, VARIANT* converted)
{
    const bool extra = vqt.bQualitySpecified || vqt.bTimeStampSpecified;
    if (extra && !App().writeVQTNotificationProc.load()) return OPC_E_NOTSUPPORTED;
    // A client object is never copied or converted (that would call into it).
    if (holdsObject(vqt.vDataValue)) return DISP_E_TYPEMISMATCH;
    HRESULT hr = VariantCopyInd(converted, const_cast<VARIANT*>(&vqt.vDataValue));
    if (FAILED(hr)) return hr;
    return it.checkWrite(converted);
}

HRESULT writeTagVQT(const ClientIdentity& who, const std::string& tagName, const VARIANT& value,
                    const OPCITEMVQT& vqt)
{
    // Neither quality nor time stamp given: the plain write path (clientWriteVQT picks it).
    return App().tags.clientWriteVQT(who, tagName, value, vqt.bQualitySpecified ? &vqt.wQuality : nullptr,
                                     vqt.bTimeStampSpecified ? &vqt.ftTimeStamp : nullptr);
}

ClientIdentity writerOf(const OPCServer* s)
{
    // Kept on the server object, so a write completed on another thread (the worker) names
    // the client that made it. Copied only for a host that audits.
    return s && App().writeAuditProc.load() ? static_cast<const ClientIdentity&>(*s) : ClientIdentity();
}

ClientIdentity writerOf(const OPCGroup& g) { return writerOf(g.server); }

namespace {

// An OnDataChange that carries no items (a keep-alive, or a refresh left with none).
void sendWithoutItems(OPCGroup& g, const ComPtr<IOPCDataCallback>& sink, DWORD transactionId, OPCHANDLE hGroup,
                      HRESULT masterError)
{
    // The arrays are never read but must not be null for the marshaler.
    OPCHANDLE h = 0;
    VARIANT v;
    VariantInit(&v);
    WORD q = 0;
    FILETIME t{};
    HRESULT e = masterError;
    callDataSink(g, sink, [&](IOPCDataCallback*) {
        return sink->OnDataChange(transactionId, hGroup, S_OK, masterError, 0, &h, &v, &q, &t, &e);
    });
}

// A refresh whose items all went inactive or were removed before it was performed: the client
// still gets its completion, without items and with E_FAIL as the master error, the code
// the call itself gives when a group has no active items.
void completeEmptyRefresh(OPCGroup& g, const AsyncTransaction& t, ComPtr<IOPCDataCallback> sink)
{
    {
        LockGuard lock(App().globalLock);
        g.sinceLastSend = 0;
        g.sentThisPass = true;
    }
    sendWithoutItems(g, sink, t.transactionId, g.clientHandle.load(), E_FAIL);
}

} // namespace

void completeMaxAgeRead(OPCGroup& g, const AsyncTransaction& t, ComPtr<IOPCDataCallback> sink)
{
    OPCServerApp& app = App();
    std::vector<OPCHANDLE> handles;
    try {
        if (t.kind == AsyncTransaction::kRefresh) {
            LockGuard lock(app.globalLock);
            for (auto& kv : g.items)
                if (kv.second->active) handles.push_back(kv.first);
        } else {
            handles = t.serverHandles;
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    const size_t n = handles.size();
    if (n == 0) {
        completeEmptyRefresh(g, t, std::move(sink));
        return;
    }
    if (n > (static_cast<size_t>(-1) / 64)) return;
    const CallbackBlockLayout layout(n);
    BYTE* block = static_cast<BYTE*>(app.taskAlloc(layout.total));
    if (!block) return;
    auto* clientHandles = reinterpret_cast<OPCHANDLE*>(block);
    auto* values = reinterpret_cast<VARIANT*>(block + layout.values);
    auto* qualities = reinterpret_cast<WORD*>(block + layout.qualities);
    auto* times = reinterpret_cast<FILETIME*>(block + layout.timestamps);
    auto* errors = reinterpret_cast<HRESULT*>(block + layout.errors);
    // A request without ages reads the cache.
    static const DWORD kCacheAge = 0xFFFFFFFFu;
    const bool refresh = t.kind == AsyncTransaction::kRefresh;
    const bool oneAge = refresh || t.maxAges.empty();
    const bool allOk = readItemsMaxAge(g, static_cast<DWORD>(n), handles.data(),
                                       t.maxAges.empty() ? &kCacheAge : t.maxAges.data(), oneAge, values, qualities,
                                       times, errors, clientHandles);
    HRESULT masterQuality = S_OK;
    for (size_t i = 0; i < n; ++i) {
        if (qualities[i] != OPC_QUALITY_GOOD) masterQuality = S_FALSE;
        // An item removed since the request still completes, with its error, under the client
        // handle it had when the request was accepted.
        if (!refresh && errors[i] == OPC_E_INVALIDHANDLE && i < t.clientHandles.size())
            clientHandles[i] = t.clientHandles[i];
    }
    {
        LockGuard lock(app.globalLock);
        g.sinceLastSend = 0;
        g.sentThisPass = true;
        if (t.kind == AsyncTransaction::kRefresh) noteDataChangeSent(g);
    }
    const DWORD count = static_cast<DWORD>(n);
    const HRESULT master = allOk ? S_OK : S_FALSE;
    const OPCHANDLE hGroup = g.clientHandle.load();
    callDataSink(g, sink, [&](IOPCDataCallback*) {
        return t.kind == AsyncTransaction::kRefresh
                   ? sink->OnDataChange(t.transactionId, hGroup, masterQuality, master, count, clientHandles, values,
                                        qualities, times, errors)
                   : sink->OnReadComplete(t.transactionId, hGroup, masterQuality, master, count, clientHandles,
                                          values, qualities, times, errors);
    });
    for (size_t i = 0; i < n; ++i) VariantClear(&values[i]);
    app.taskFree(block);
}

void OPCGroup::keepAlivePass(DWORD ticks)
{
    if (keepAlive.load() == 0) return; // the common case takes no lock
    ConnectionContainer<IOPCDataCallback>* c = dataContainer();
    if (!c) return;
    ComPtr<IOPCDataCallback> sink;
    OPCHANDLE hGroup;
    {
        LockGuard lock(App().globalLock);
        if (gone() || keepAlive.load() == 0) return;
        // The pass that sent a callback starts the count: the next keep-alive is a full period later.
        if (sentThisPass) {
            sentThisPass = false;
            return;
        }
        const ULONGLONG sum = sinceLastSend + static_cast<ULONGLONG>(App().updatePeriod.load()) * ticks;
        sinceLastSend = sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(sum);
        if (sinceLastSend < keepAlive) return;
        sinceLastSend = 0;
        sink = c->point().sink();
        hGroup = clientHandle.load();
    }
    if (sink) sendWithoutItems(*this, sink, 0, hGroup, S_OK);
}

} // namespace qv
