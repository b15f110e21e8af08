// IOPCGroupStateMgt: the group's state, its name, and cloning.
//
// Every method fails with E_FAIL once the group is destroyed (forced RemoveGroup, or its
// server gone); SetName and CloneGroup also fail with E_FAIL when the group was removed from
// its server (it has no owner any more) or the server is leaving.
#include <new>
#include "group/OPCGroup.h"
#include "base/ComUtil.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCGroupStateMgt2Impl : public InterfaceObject<IOPCGroupStateMgt2, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                       OPCHANDLE* phServerGroup) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt::GetState", 0, [&]() -> HRESULT {
            // Every out-pointer is optional here: a NULL one is skipped.
            if (ppName) *ppName = nullptr;
            OPCGroup* grp = owner_;
            LockGuard g(App().globalLock);
            if (grp->gone()) return kGoneResult;
            if (ppName) {
                LPWSTR w = widen(grp->name);
                if (!w) return E_OUTOFMEMORY;
                *ppName = w;
            }
            if (pUpdateRate) *pUpdateRate = grp->updateRate.load();
            if (pActive) *pActive = grp->active.load();
            if (pTimeBias) *pTimeBias = grp->timeBias;
            if (pPercentDeadband) *pPercentDeadband = grp->percentDeadband.load();
            if (pLCID) *pLCID = grp->lcid;
            if (phClientGroup) *phClientGroup = grp->clientHandle.load();
            if (phServerGroup) *phServerGroup = grp->serverHandle;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                       OPCHANDLE* phClientGroup) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt::SetState", 0, [&]() -> HRESULT {
            OPCGroup* grp = owner_;
            HRESULT result = S_OK;
            bool activated = false;
            // Checked first: a refused call changes nothing.
            if (pPercentDeadband && !validDeadband(*pPercentDeadband)) return E_INVALIDARG;
            {
                LockGuard g(App().globalLock);
                if (grp->gone()) return kGoneResult;
                if (pRequestedUpdateRate)
                    grp->updateRate = reviseUpdateRate(*pRequestedUpdateRate, App().updatePeriod.load(), &result);
                if (pActive) {
                    activated = *pActive && !grp->active.load();
                    grp->active = *pActive;
                    if (activated) {
                        grp->forcedScanPending = true; // with the activation, in one hold
                        // Owed until a report carries them, should the forced one not arrive.
                        for (auto& kv : grp->items)
                            if (kv.second->active) kv.second->markChanged();
                    }
                }
                if (phClientGroup) grp->clientHandle = *phClientGroup;
                if (pPercentDeadband) grp->percentDeadband = *pPercentDeadband;
                if (pLCID) grp->lcid = *pLCID;
                if (pTimeBias) grp->timeBias = *pTimeBias;
                if (pRevisedUpdateRate) *pRevisedUpdateRate = grp->updateRate.load();
            }
            if (activated) {
                // On the calling thread, before returning, without the global lock: one forced
                // scan that reports every active item. Queued requests stay with the worker's
                // dispatch pass, which serves inactive groups too: a write reaches the host there.
                grp->scan(true);
                LockGuard g(App().globalLock);
                grp->forcedScanPending = false;
            }
            return result;
        });
    }

    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt::SetName", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            std::string name;
            try {
                name = narrow(szName);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (name.empty()) return E_INVALIDARG;
            OPCGroup* grp = owner_;
            LockGuard g(App().globalLock);
            OPCServer* s = grp->liveServer();
            if (!s) return E_FAIL;
            // The group's own current name counts as in use too.
            if (groupNameInUse(*s, name)) return OPC_E_DUPLICATENAME;
            grp->name.swap(name);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt::CloneGroup", 0, [&]() -> HRESULT {
            if (!ppUnk) return E_INVALIDARG;
            *ppUnk = nullptr;
            if (owner_->gone()) return kGoneResult;
            std::string name;
            try {
                name = narrow(szName);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (name.empty()) return E_INVALIDARG;
            OPCGroup* src = owner_;
            // Declared before the lock: a clone given up below is destroyed after leaving it.
            std::shared_ptr<OPCGroup> clone = OPCGroup::create();
            if (!clone) return E_OUTOFMEMORY;
            IUnknown* unk = nullptr;
            bool listed = false;
            {
                LockGuard g(App().globalLock);
                OPCServer* s = src->liveServer();
                if (!s) return E_FAIL;
                if (groupNameInUse(*s, name)) return OPC_E_DUPLICATENAME;
                HRESULT hr = clone->QueryInterface(riid, reinterpret_cast<void**>(&unk));
                if (FAILED(hr)) return hr;
                clone->server = s;
                clone->clientHandle = src->clientHandle.load();
                clone->updateRate = src->updateRate.load();
                clone->timeBias = src->timeBias;
                clone->percentDeadband = src->percentDeadband.load();
                clone->lcid = src->lcid;
                clone->active = FALSE;
                clone->name.swap(name);
                clone->elapsed = 0;
                try {
                    appendGroup(*s, clone);
                    listed = true;
                    src->copyItemsInto(*clone);
                } catch (const std::bad_alloc&) {
                    if (listed) {
                        auto& list = s->groups;
                        for (auto it = list.begin(); it != list.end(); ++it)
                            if (it->get() == clone.get()) { list.erase(it); break; }
                    }
                    g.release();
                    clone->destroy();
                    unk->Release();
                    return E_OUTOFMEMORY;
                }
            }
            *ppUnk = unk;
            return S_OK;
        });
    }

    // ---- IOPCGroupStateMgt2 ----
    HRESULT STDMETHODCALLTYPE SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt2::SetKeepAlive", 0, [&]() -> HRESULT {
            if (!pdwRevisedKeepAliveTime) return E_INVALIDARG;
            HRESULT result = S_OK;
            LockGuard g(App().globalLock);
            if (owner_->gone()) return kGoneResult;
            // Counted in update ticks like the update rate; 0 switches it off.
            const DWORD revised = dwKeepAliveTime == 0 ? 0 : reviseUpdateRate(dwKeepAliveTime, App().updatePeriod.load(), &result);
            if (revised != dwKeepAliveTime) result = OPC_S_UNSUPPORTEDRATE;
            owner_->keepAlive = revised;
            owner_->sinceLastSend = 0;
            owner_->sentThisPass = false;
            *pdwRevisedKeepAliveTime = revised;
            return result;
        });
    }

    HRESULT STDMETHODCALLTYPE GetKeepAlive(DWORD* pdwKeepAliveTime) override
    {
        return trace::traced(owner_->traceClient(), "IOPCGroupStateMgt2::GetKeepAlive", 0, [&]() -> HRESULT {
            if (!pdwKeepAliveTime) return E_INVALIDARG;
            LockGuard g(App().globalLock);
            if (owner_->gone()) return kGoneResult;
            *pdwKeepAliveTime = owner_->keepAlive.load();
            return S_OK;
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeGroupStateMgt(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCGroupStateMgt2Impl(g));
}

} // namespace qv
