// The group's IOPCDataCallback connection point and the four callbacks built on it. Items are
// collected, read and their flags cleared under the global lock; every call into the client
// is made after leaving it, on a counted reference taken together with the items.
#include "dataio/DataIo.h"
#include <new>
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

std::unique_ptr<InterfaceHolder> makeGroupConnectionContainer(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow)
                                                ConnectionContainer<IOPCDataCallback>(g, IID_IOPCDataCallback, g->goneFlag(),
                                                                                      g->clientObjectsSlot(), g->weak_from_this()));
}

namespace {

size_t alignUp(size_t v, size_t a) { return (v + a - 1) / a * a; }
// On 64-bit the VARIANTs hold pointers: keep them on their natural boundary there. On
// 32-bit the block is packed exactly as the OPC callback arrays are usually laid out.
constexpr size_t kVariantAlign = sizeof(void*) == 8 ? 8 : 4;
constexpr size_t kFiletimeAlign = sizeof(void*) == 8 ? 4 : 1;

} // namespace

CallbackBlockLayout::CallbackBlockLayout(size_t n)
{
    values = alignUp(n * sizeof(OPCHANDLE), kVariantAlign);
    qualities = values + n * sizeof(VARIANT);
    timestamps = alignUp(qualities + n * sizeof(WORD), kFiletimeAlign);
    errors = alignUp(timestamps + n * sizeof(FILETIME), kFiletimeAlign);
    total = errors + n * sizeof(HRESULT);
}

void snapshotSent(const std::vector<OPCItem*>& items, std::vector<SentItem>& out)
{
    out.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const OPCItem* it = items[i];
        SentItem& s = out[i];
        s.quality = it->quality;
        s.updates = it->updates;
        // Without a copy the item cannot take it as its reference: it stays pending.
        s.serverHandle = SUCCEEDED(s.value.copyFrom(*it->value.get())) ? it->serverHandle : 0;
    }
}

void confirmDelivery(OPCGroup& g, bool streamPath, std::vector<SentItem>& sent)
{
    LockGuard lock(App().globalLock);
    if (g.gone()) return;
    for (SentItem& s : sent)
        if (OPCItem* it = s.serverHandle ? g.findItem(s.serverHandle) : nullptr)
            it->delivered(streamPath, s.value, s.quality, s.updates);
    lock.release();
    sent.clear(); // the values the items did not take, freed after the lock
}

void reportItems(OPCGroup& g, LockGuard& lock, const std::vector<OPCItem*>& items, DWORD transactionId,
                 ReportKind kind, bool clear, ComPtr<IOPCDataCallback> sink)
{
    OPCServerApp& app = App();
    const size_t n = items.size();
    // The block size must not wrap (34 bytes an item).
    if (n == 0 || !sink || n > (static_cast<size_t>(-1) / 64)) {
        lock.release();
        return; // sink released here, after the lock
    }
    std::vector<SentItem> sent; // freed after the lock
    if (clear) {
        try {
            snapshotSent(items, sent);
        } catch (const std::bad_alloc&) {
            lock.release();
            return; // flags stay set: the change goes out with a later report
        }
    }
    const CallbackBlockLayout layout(n);
    BYTE* block = static_cast<BYTE*>(app.taskAlloc(layout.total));
    if (!block) {
        lock.release();
        return; // flags stay set: the change goes out with a later report
    }
    auto* handles = reinterpret_cast<OPCHANDLE*>(block);
    auto* values = reinterpret_cast<VARIANT*>(block + layout.values);
    auto* qualities = reinterpret_cast<WORD*>(block + layout.qualities);
    auto* times = reinterpret_cast<FILETIME*>(block + layout.timestamps);
    auto* errors = reinterpret_cast<HRESULT*>(block + layout.errors);
    HRESULT masterQuality = S_OK, masterError = S_OK;
    for (size_t i = 0; i < n; ++i) {
        const OPCItem* it = items[i];
        VariantInit(&values[i]);
        // No rights or no conversion: VT_EMPTY, bad quality and the item's error.
        errors[i] = it->readValue(&values[i], &qualities[i], &times[i]);
        handles[i] = it->clientHandle;
        if (qualities[i] != OPC_QUALITY_GOOD) masterQuality = S_FALSE;
        if (errors[i] != S_OK) masterError = S_FALSE;
    }
    const OPCHANDLE hGroup = g.clientHandle.load();
    g.sinceLastSend = 0; // the keep-alive counts from the last callback
    g.sentThisPass = true;
    if (kind == ReportKind::DataChange) noteDataChangeSent(g);
    lock.release();

    const DWORD count = static_cast<DWORD>(n);
    const HRESULT hr = callDataSink(g, sink, [&](IOPCDataCallback*) {
        return kind == ReportKind::ReadComplete
                   ? sink->OnReadComplete(transactionId, hGroup, masterQuality, masterError, count, handles, values,
                                          qualities, times, errors)
                   : sink->OnDataChange(transactionId, hGroup, masterQuality, masterError, count, handles, values,
                                        qualities, times, errors);
    });
    for (size_t i = 0; i < n; ++i) VariantClear(&values[i]);
    app.taskFree(block);
    // Delivered means received: a call that failed on its way keeps the items pending, and the
    // next report carries their newest values. The client's own answer (any result that did not
    // fail in transport) counts as received.
    if (clear && clientAnswered(hr)) confirmDelivery(g, false, sent);
}

void noteDataChangeSent(OPCGroup& g)
{
    if (g.server) g.server->lastDataChange = utcNow();
}

void sendSubscriptionDataChange(OPCGroup& g, bool forced)
{
    ConnectionContainer<IOPCDataCallback>* c = g.dataContainer();
    if (!c || !c->point().enabled.load()) return;
    std::vector<OPCItem*> list;
    ComPtr<IOPCDataCallback> sink; // declared before the guard: released after the lock
    LockGuard lock(App().globalLock);
    if (g.gone()) return;
    sink = c->point().sink();
    if (!sink) {
        lock.release();
        return;
    }
    try {
        list.reserve(g.items.size());
        for (auto& kv : g.items) {
            OPCItem* it = kv.second.get();
            // Forced (activation): every active item with its current value; inactive items never.
            if (it->active && (forced || it->changed)) list.push_back(it);
        }
    } catch (const std::bad_alloc&) {
        lock.release();
        return;
    }
    reportItems(g, lock, list, 0, ReportKind::DataChange, true, std::move(sink));
}

namespace {

void completeWrite(OPCGroup& g, const AsyncTransaction& t, ComPtr<IOPCDataCallback> sink)
{
    OPCServerApp& app = App();
    const size_t n = t.writeResults.size();
    if (n == 0 || n > t.serverHandles.size()) return;
    TaskArray<OPCHANDLE> handles(n);
    TaskArray<HRESULT> errors(n);
    if (!handles || !errors) return;
    HRESULT master = S_OK;
    {
        LockGuard lock(app.globalLock);
        for (size_t i = 0; i < n; ++i) {
            const OPCItem* it = g.findItem(t.serverHandles[i]);
            handles[i] = it ? it->clientHandle : i < t.clientHandles.size() ? t.clientHandles[i] : t.serverHandles[i];
            errors[i] = t.writeResults[i];
            if (errors[i] != S_OK) master = S_FALSE;
        }
    }
    // The host's verdicts on an asynchronous write reach the trace only here.
    if (master != S_OK)
        traceItemResults(g, "IOPCDataCallback::OnWriteComplete", static_cast<DWORD>(n), t.serverHandles.data(),
                         errors.get());
    callDataSink(g, sink, [&](IOPCDataCallback*) {
        return sink->OnWriteComplete(t.transactionId, g.clientHandle.load(), master, static_cast<DWORD>(n),
                                     handles.get(), errors.get());
    });
}

} // namespace

void completeTransaction(OPCGroup& g, const AsyncTransaction& t)
{
    ConnectionContainer<IOPCDataCallback>* c = g.dataContainer();
    if (!c) return;
    if (t.cancelled) {
        ComPtr<IOPCDataCallback> sink = c->point().sink();
        if (sink)
            callDataSink(g, sink, [&](IOPCDataCallback*) {
                return sink->OnCancelComplete(t.transactionId, g.clientHandle.load());
            });
        return;
    }
    if (t.kind == AsyncTransaction::kWrite) {
        ComPtr<IOPCDataCallback> sink = c->point().sink();
        if (sink) completeWrite(g, t, std::move(sink));
        return;
    }
    if (t.kind != AsyncTransaction::kRead && t.kind != AsyncTransaction::kRefresh) return;
    // Reads and refreshes from the cache too: that path completes removed items with their
    // error and a refresh left with no items with an empty completion.
    ComPtr<IOPCDataCallback> sink = c->point().sink();
    if (sink) completeMaxAgeRead(g, t, std::move(sink));
}

} // namespace qv
