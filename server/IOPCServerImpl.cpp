// IOPCServer: server status, error texts, and the client's groups.
//
// The group list (`OPCServer::groups`) is read and changed only under the global lock; a
// group found there is held by a shared pointer while it is worked on outside the lock.
#include <new>
#include <string>
#include "group/OPCGroup.h"
#include "group/OPCGroupEnumerator.h"
#include "base/ComUtil.h"
#include "core/OPCServerApp.h"
#include "server/ComObject.h"
#include "base/ErrorText.h"
#include "server/IOPCEnumString.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

bool scopeListsPrivateGroups(OPCENUMSCOPE scope)
{
    return scope == OPC_ENUM_PRIVATE_CONNECTIONS || scope == OPC_ENUM_ALL_CONNECTIONS || scope == OPC_ENUM_PRIVATE ||
           scope == OPC_ENUM_ALL;
}

LONG localStandardBias()
{
    TIME_ZONE_INFORMATION tzi;
    if (GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_INVALID) return 0;
    return tzi.Bias; // minutes west of UTC, daylight saving not counted
}

class OPCServerImpl : public InterfaceObject<IOPCServer, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                       DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                       REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::AddGroup", 1, [&]() -> HRESULT {
            if (ppUnk) *ppUnk = nullptr;
            if (phServerGroup) *phServerGroup = 0;
            if (pRevisedUpdateRate) *pRevisedUpdateRate = 0;
            if (!ppUnk || !phServerGroup) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (pPercentDeadband && !validDeadband(*pPercentDeadband)) return E_INVALIDARG;

            OPCServerApp& app = App();
            HRESULT rateResult = S_OK;
            const DWORD revised = reviseUpdateRate(dwRequestedUpdateRate, app.updatePeriod.load(), &rateResult);
            const std::string requestedName = narrow(szName);
            const LONG timeBias = pTimeBias ? *pTimeBias : localStandardBias();

            // Declared before the lock so that a group given up below is destroyed after the
            // lock is left.
            std::shared_ptr<OPCGroup> grp = OPCGroup::create();
            if (!grp) return E_OUTOFMEMORY;
            IUnknown* unk = nullptr;
            {
                LockGuard g(app.globalLock);
                if (owner_->gone()) return kGoneResult;
                try {
                    std::string name = requestedName.empty() ? defaultGroupName(*owner_) : requestedName;
                    if (groupNameInUse(*owner_, name)) return OPC_E_DUPLICATENAME;
                    grp->name = std::move(name);
                } catch (const std::bad_alloc&) {
                    return E_OUTOFMEMORY;
                }
                if (pRevisedUpdateRate) *pRevisedUpdateRate = revised;
                grp->server = owner_;
                grp->removed = false;
                grp->updateRate = revised;
                grp->active = bActive;
                grp->percentDeadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
                grp->lcid = dwLCID;
                grp->timeBias = timeBias;
                grp->clientHandle = hClientGroup;
                // The client's reference exists before the group is listed.
                HRESULT hr = grp->QueryInterface(riid, reinterpret_cast<void**>(&unk));
                if (FAILED(hr)) return hr;
                try {
                    *phServerGroup = appendGroup(*owner_, grp);
                } catch (const std::bad_alloc&) {
                    g.release();
                    unk->Release(); // the last reference of an unlisted group
                    return E_OUTOFMEMORY;
                }
            }
            *ppUnk = unk;
            return rateResult;
        });
    }

    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::GetErrorString", 0, [&]() -> HRESULT {
            if (!ppString) return E_INVALIDARG;
            *ppString = nullptr;
            if (owner_->gone()) return kGoneResult;
            std::string text;
            try {
                text = errorText(dwError);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            LPWSTR w = widen(text);
            if (!w) return E_OUTOFMEMORY;
            *ppString = w;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::GetGroupByName", 1, [&]() -> HRESULT {
            if (!ppUnk) return E_INVALIDARG;
            *ppUnk = nullptr;
            if (owner_->gone()) return kGoneResult;
            const std::string name = narrow(szName);
            std::shared_ptr<OPCGroup> found;
            {
                LockGuard g(App().globalLock);
                for (const auto& grp : owner_->groups) {
                    if (grp->name == name) {
                        found = grp;
                        break;
                    }
                }
            }
            if (!found) return E_INVALIDARG;
            return found->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        });
    }

    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::GetStatus", 0, [&]() -> HRESULT {
            if (!ppServerStatus) return E_INVALIDARG;
            *ppServerStatus = nullptr;
            if (owner_->gone()) return kGoneResult;
            OPCServerApp& app = App();
            TaskArray<OPCSERVERSTATUS> st(1);
            if (!st) return E_OUTOFMEMORY;
            st->szVendorInfo = widen(app.vendorInfoCopy());
            if (!st->szVendorInfo) return E_OUTOFMEMORY;
            st->ftStartTime = app.startTime;
            CoFileTimeNow(&st->ftCurrentTime);
            {
                LockGuard g(app.globalLock);
                st->ftLastUpdateTime = owner_->lastDataChange;
                st->dwGroupCount = static_cast<DWORD>(owner_->groups.size());
            }
            st->dwServerState = static_cast<OPCSERVERSTATE>(app.serverState.load());
            st->dwBandWidth = app.bandWidth.load();
            st->wMajorVersion = app.majorVersion.load();
            st->wMinorVersion = app.minorVersion.load();
            st->wBuildNumber = app.buildNumber.load();
            st->wReserved = 63;
            *ppServerStatus = st.release();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::RemoveGroup", 1, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            std::shared_ptr<OPCGroup> grp;
            {
                LockGuard g(App().globalLock);
                auto& list = owner_->groups;
                for (auto it = list.begin(); it != list.end(); ++it) {
                    if ((*it)->serverHandle == hServerGroup) {
                        grp = *it;
                        list.erase(it);
                        break;
                    }
                }
                if (!grp) return E_FAIL;
                // Out of the list: its items no longer follow host updates.
                grp->setListed(false);
                if (!bForce && grp->markRemovedIfReferenced()) {
                    // The client keeps using it; its last Release destroys it. No worker serves
                    // it any more: what is queued would never complete, so it goes (a write's
                    // values never reached the host) and new requests are refused.
                    grp->server = nullptr;
                    grp->queue.clear();
                    return OPC_S_INUSE;
                }
            }
            // Not referenced, or forced: destroyed now (outside the global lock: destroy() takes
            // it itself and releases client sinks without it). A client that still holds
            // pointers gets E_FAIL from every call; the memory stays until its last Release.
            grp->destroy();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCServer::CreateGroupEnumerator", 0, [&]() -> HRESULT {
            if (!ppUnk) return E_INVALIDARG;
            *ppUnk = nullptr;
            if (owner_->gone()) return kGoneResult;
            const bool fill = scopeListsPrivateGroups(dwScope);
            if (IsEqualIID(riid, IID_IEnumUnknown)) {
                OPCGroupEnumerator* e = newServerObject<OPCGroupEnumerator>(owner_->clientObjects(), owner_);
                if (!e) return E_OUTOFMEMORY;
                if (fill) {
                    LockGuard g(App().globalLock);
                    for (const auto& grp : owner_->groups) {
                        if (!e->append(grp.get())) {
                            g.release();
                            e->Release();
                            return E_OUTOFMEMORY;
                        }
                    }
                }
                *ppUnk = static_cast<IEnumUnknown*>(e);
                return S_OK;
            }
            if (IsEqualIID(riid, IID_IEnumString)) {
                IOPCEnumString* e = newServerObject<IOPCEnumString>(owner_->clientObjects());
                if (!e) return E_OUTOFMEMORY;
                if (fill) {
                    try {
                        LockGuard g(App().globalLock);
                        e->strings().reserve(owner_->groups.size());
                        for (const auto& grp : owner_->groups) e->add(grp->name);
                    } catch (const std::bad_alloc&) {
                        e->Release();
                        return E_OUTOFMEMORY;
                    }
                }
                *ppUnk = static_cast<IEnumString*>(e);
                return S_OK;
            }
            return E_NOINTERFACE;
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCServer(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCServerImpl(s));
}

} // namespace qv
