#pragma once
// Shared pieces of the data-exchange subsystem: the IOPCDataCallback reports, the deadband
// test, and the hook through which the DA 1.0 IDataObject joins the scan and the dispatch.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "addrspace/ClientIdentity.h"
#include "group/OPCGroup.h"
#include "base/ComUtil.h"
#include "base/Lock.h"
#include "qvsrvkit.h"

namespace qv {

// True when the new value moves far enough from the reference to count as a change.
bool deadbandExceeded(const VARIANT& reference, const VARIANT& next, float percent);

// Offsets inside the one task-memory block of an OnDataChange/OnReadComplete call:
// client handles, values, qualities, timestamps, errors (34 bytes an item on 32-bit).
struct CallbackBlockLayout {
    size_t values, qualities, timestamps, errors, total;
    explicit CallbackBlockLayout(size_t n);
};

enum class ReportKind { DataChange, ReadComplete };

// What a report carried of one item: its value in the tag's type, its quality and the count of
// host updates it had taken, so that delivery can be confirmed after the call.
struct SentItem {
    OPCHANDLE serverHandle = 0; // 0: not to be confirmed (no copy of the value could be made)
    WORD quality = 0;
    DWORD updates = 0;
    Variant value;
};
// The snapshot of the items about to be reported (global lock held). Throws std::bad_alloc.
void snapshotSent(const std::vector<OPCItem*>& items, std::vector<SentItem>& out);
// A report carrying `sent` returned from the client without a transport failure: each item
// still in the group takes it as the reference of its path (OPCItem::delivered). No lock held.
void confirmDelivery(OPCGroup& g, bool streamPath, std::vector<SentItem>& sent);

// Builds the callback block for the items (global lock held on entry, released on return,
// also on failure) and calls the sink after leaving the lock. When clearing, the items'
// changed flags are cleared once the call returned without a transport failure.
void reportItems(OPCGroup& g, LockGuard& lock, const std::vector<OPCItem*>& items, DWORD transactionId,
                 ReportKind kind, bool clear, ComPtr<IOPCDataCallback> sink);

// Calls the group's data callback (sink taken earlier, no lock held): a result saying the
// sink object is gone ends that connection only; the group and its items stay.
template <class F>
HRESULT callDataSink(OPCGroup& g, const ComPtr<IOPCDataCallback>& sink, F&& call)
{
    ConnectionContainer<IOPCDataCallback>* c = g.dataContainer();
    if (!c) return callClient([&] { return call(sink.get()); });
    return c->point().callSink(sink, std::forward<F>(call));
}

// Notes on the group's server that a data change goes to the client now (global lock held).
void noteDataChangeSent(OPCGroup& g);

// The subscription OnDataChange of a firing scan (forced: every active item, changed or not).
void sendSubscriptionDataChange(OPCGroup& g, bool forced);

// One asynchronous Read or Write as its interface received it.
struct AsyncRequest {
    DWORD version;             // 2: IOPCAsyncIO2/3; 1: IOPCAsyncIO
    DWORD clientTransactionId; // DA 2.0 only
    DWORD n;
    const OPCHANDLE* handles;
    DWORD* issuedId; // out: DA 2.0 the cancel id; DA 1.0 the transaction id
    HRESULT* errors; // out: n entries
};
// Accepting (AsyncAccept.cpp). Each checks the handles (and for a write the rights and types)
// into errors, leaves the failing items out and queues the record for the client's worker.
// S_OK: queued. S_FALSE: some items failed (errors tell which): the others are queued and
// completed without them; none left: nothing queued, no completion. E_FAIL: queue full,
// server stopped, group gone or removed. E_OUTOFMEMORY.
// maxAges: ReadMaxAge (one per handle); device: a device read (IOPCAsyncIO2::Read, OPC_DS_DEVICE).
HRESULT acceptRead(OPCGroup& g, const AsyncRequest& r, const DWORD* maxAges, bool device);
// values, or vqt for WriteVQT. Nothing reaches the host here.
HRESULT acceptWrite(OPCGroup& g, const AsyncRequest& r, const VARIANT* values, const OPCITEMVQT* vqt);
// A Read or Write of IOPCAsyncIO (version 1) or IOPCAsyncIO2/3 (version 2) from the allocation
// of its per-item errors on (argument checks done): the errors go to the client when the
// request was taken, S_OK or S_FALSE (the failed items are marked and left out of the
// completion, which carries the others; none left: nothing follows).
template <class Accept>
HRESULT acceptWithErrors(DWORD version, DWORD clientTransactionId, DWORD n, const OPCHANDLE* handles,
                         DWORD* issuedId, HRESULT** ppErrors, Accept&& acceptKind)
{
    TaskArray<HRESULT> errors(n);
    if (!errors) return E_OUTOFMEMORY;
    const AsyncRequest r{version, clientTransactionId, n, handles, issuedId, errors.get()};
    const HRESULT hr = acceptKind(r);
    if (hr == S_OK || hr == S_FALSE) *ppErrors = errors.release();
    return hr;
}
// Refresh2 / RefreshMaxAge (maxAge) / DA 1.0 Refresh; E_FAIL also when nothing is active.
HRESULT acceptRefresh(OPCGroup& g, DWORD version, DWORD clientTransactionId, bool device, const DWORD* maxAge,
                      DWORD* issuedId);
// Cancel2 (version 2, cancel id) and DA 1.0 Cancel (version 1, transaction id): S_OK while the
// record is queued (its completion is a cancel), E_FAIL once the dispatch pass took it.
HRESULT cancelRequest(OPCGroup& g, DWORD version, DWORD id);
// Dispatch pass, no lock held: passes a write's values to the host into writeResults.
void performWrite(OPCGroup& g, AsyncTransaction& t);
// Dispatch pass, no lock held: a DA 1.0 device read or refresh asks the host first.
void performDeviceRead(OPCGroup& g, const AsyncTransaction& t);

// ---- DA 3.0 (MaxAge.cpp) ----
// Reads the group's items under the maximum-age rule (0: device, 0xFFFFFFFF: cache, else the
// cache while now minus the item's time stamp is within the age). ages holds n entries, or
// one for all when oneAge. Takes the lock itself; the host's device read runs without it.
// Any output but values may be null. Returns whether every item read S_OK.
bool readItemsMaxAge(OPCGroup& g, DWORD n, const OPCHANDLE* handles, const DWORD* ages, bool oneAge,
                     VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors, OPCHANDLE* clientHandles);
// A client's device read of one tag (no lock held): the host's DeviceReadProc fills value,
// quality and time stamp (a zero time stamp means now); a value it gave refreshes the tag and
// its followers like a host update, then is converted to `requested` (VT_EMPTY: as it is).
// A host that leaves the value empty has nothing new: the tag's cached value, quality and
// time stamp answer instead (E_FAIL, bad quality, when the tag is gone).
// Returns the conversion's result (on failure the value is empty and the quality bad).
HRESULT deviceRead(QV_DEVICEREADPROC proc, DWORD tagHandle, VARTYPE requested, VARIANT* value, WORD* quality,
                   FILETIME* time);
// Whether a value stamped `stamp` is too old for maxAge at `now` (device read wanted).
bool tooOld(DWORD maxAge, const FILETIME& stamp, const FILETIME& now);
// Checks one item's part of a WriteVQT under the lock: the item's write checks on a private
// copy of the value, OPC_E_NOTSUPPORTED for quality/time stamp without the host's callback.
// Nothing enters the item here: only what the host accepts does, through the tag.
HRESULT checkItemVQT(OPCItem& it, const OPCITEMVQT& vqt, VARIANT* converted);
// Puts a checked value into the tag and its followers (no lock held): the VQT path when
// quality or time stamp is specified, else the plain write path.
// who: the writing client, for the host's write audit (writerOf).
HRESULT writeTagVQT(const ClientIdentity& who, const std::string& tagName, const VARIANT& value,
                    const OPCITEMVQT& vqt);
// The identity of the group's client as it is now (empty once the group left it, or when the
// host has no write audit); global lock held.
ClientIdentity writerOf(const OPCGroup& g);
ClientIdentity writerOf(const OPCServer* s);
// Completes a queued version-2 read (OnReadComplete) or refresh (OnDataChange): with maximum
// ages (ReadMaxAge, RefreshMaxAge, device reads) or, without, from the cache.
void completeMaxAgeRead(OPCGroup& g, const AsyncTransaction& t, ComPtr<IOPCDataCallback> sink);

// Completes one version-2 record that the dispatch pass took out of the queue (no lock held).
void completeTransaction(OPCGroup& g, const AsyncTransaction& t);

// Implemented by the group's IDataObject object (the DA 1.0 side); the scan and the dispatch
// pass find it by a dynamic_cast of the group's data-object slot. Both calls come without
// the global lock held; the implementation collects under the lock and calls sinks after it.
class DA1DataSinks {
public:
    virtual ~DA1DataSinks() = default;
    // Subscription notification of a firing scan: the active items changed on the stream
    // path (forced, on activation: every active item).
    virtual void notifyDataChange(OPCGroup& g, bool forced) = 0;
    // Completion of one version-1 record taken out of the queue.
    virtual void complete(OPCGroup& g, const AsyncTransaction& t) = 0;
    // One of its advise sinks, or null.
    virtual ComPtr<IUnknown> anySink() = 0;
};

DA1DataSinks* da1Sinks(OPCGroup& g);

} // namespace qv
