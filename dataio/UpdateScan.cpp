// The per-pass update scan of a group: counts passes up to the update rate and, when due,
// reports the changed active items to the DA 1.0 and DA 2.0 sinks.
#include "dataio/DataIo.h"
#include "core/OPCServerApp.h"

namespace qv {

DA1DataSinks* da1Sinks(OPCGroup& g)
{
    return dynamic_cast<DA1DataSinks*>(g.slotObject(OPCGroup::kDataObject));
}

bool OPCGroup::hasDataCallback()
{
    ConnectionContainer<IOPCDataCallback>* c = dataContainer();
    return c && c->point().hasSink();
}

ComPtr<IUnknown> OPCGroup::anyClientObject()
{
    if (ConnectionContainer<IOPCDataCallback>* c = dataContainer())
        if (ComPtr<IOPCDataCallback> s = c->point().sink()) return ComPtr<IUnknown>(s.get(), true);
    if (DA1DataSinks* da1 = da1Sinks(*this)) return da1->anySink();
    return ComPtr<IUnknown>();
}

void OPCGroup::scan(bool forced, DWORD ticks)
{
    if (!active.load()) return;
    {
        // The worker's scan and the forced scan of an activation may run at the same time.
        LockGuard lock(App().globalLock);
        if (gone()) return;
        // Ticks that came while the worker was busy count: the group keeps its rate.
        const ULONGLONG sum = elapsed + static_cast<ULONGLONG>(App().updatePeriod.load()) * ticks;
        elapsed = sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(sum);
        if (!forced && (elapsed < updateRate.load() || forcedScanPending)) return;
        elapsed = 0;
    }
    // Each path keeps its own pending state: both hear every change once, whichever the
    // client advised.
    if (DA1DataSinks* da1 = da1Sinks(*this)) da1->notifyDataChange(*this, forced);
    if (dataContainer()) sendSubscriptionDataChange(*this, forced);
}

} // namespace qv
