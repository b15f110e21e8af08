// IOPCSyncIO: reads from the item cache (or the host's device read) and writes through the
// item checks to the host's write callback and the tag store.
#include <mutex>
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCSyncIO2Impl : public InterfaceObject<IOPCSyncIO2, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                   OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSyncIO::Read", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (ppItemValues) *ppItemValues = nullptr;
            if (dwCount == 0 || !phServer || !ppItemValues || !ppErrors) return E_INVALIDARG;
            if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            // The larger array first: a count whose size overflows fails before any allocation.
            TaskArray<OPCITEMSTATE> states(dwCount);
            if (!states) return E_OUTOFMEMORY;
            TaskArray<HRESULT> errors(dwCount);
            if (!errors) return E_OUTOFMEMORY;
            try {
                readAll(dwSource, dwCount, phServer, states.get(), errors.get());
            } catch (const std::bad_alloc&) {
                for (DWORD i = 0; i < dwCount; ++i) VariantClear(&states[i].vDataValue);
                return E_OUTOFMEMORY;
            }
            bool allOk = true;
            for (DWORD i = 0; i < dwCount; ++i) allOk = allOk && errors[i] == S_OK;
            *ppItemValues = states.release();
            *ppErrors = errors.release();
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSyncIO::Write", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pItemValues || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            return writeItems(dwCount, phServer, pItemValues, nullptr, ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    // ---- IOPCSyncIO2 ----
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                         WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSyncIO2::ReadMaxAge", dwCount, [&]() -> HRESULT {
            if (ppvValues) *ppvValues = nullptr;
            if (ppwQualities) *ppwQualities = nullptr;
            if (ppftTimeStamps) *ppftTimeStamps = nullptr;
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pdwMaxAge || !ppvValues || !ppwQualities || !ppftTimeStamps || !ppErrors)
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            TaskArray<VARIANT> values(dwCount);
            TaskArray<WORD> qualities(dwCount);
            TaskArray<FILETIME> times(dwCount);
            TaskArray<HRESULT> errors(dwCount);
            if (!values || !qualities || !times || !errors) return E_OUTOFMEMORY;
            bool allOk;
            try {
                allOk = readItemsMaxAge(*owner_, dwCount, phServer, pdwMaxAge, false, values.get(), qualities.get(),
                                        times.get(), errors.get(), nullptr);
            } catch (const std::bad_alloc&) {
                for (DWORD i = 0; i < dwCount; ++i) VariantClear(&values[i]);
                return E_OUTOFMEMORY;
            }
            *ppvValues = values.release();
            *ppwQualities = qualities.release();
            *ppftTimeStamps = times.release();
            *ppErrors = errors.release();
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT,
                                       HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSyncIO2::WriteVQT", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !phServer || !pItemVQT || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            return writeItems(dwCount, phServer, nullptr, pItemVQT, ppErrors);
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

private:
    // Write and WriteVQT (values or vqt given): check under the lock, the host decides without
    // it, and only what the host accepted enters the tag and its items.
    HRESULT writeItems(DWORD n, const OPCHANDLE* handles, const VARIANT* values, const OPCITEMVQT* vqt,
                       HRESULT** ppErrors)
    {
        OPCServerApp& app = App();
        TaskArray<HRESULT> errors(n);
        if (!errors) return E_OUTOFMEMORY;
        try {
            // The client's values are [in]: convert private copies, never the caller's array.
            std::vector<Variant> converted(n);
            std::vector<std::string> names(n);
            ClientIdentity who;
            {
                LockGuard lock(app.globalLock);
                who = writerOf(*owner_);
                for (DWORD i = 0; i < n; ++i) {
                    OPCItem* it = owner_->findItem(handles[i]);
                    if (!it) {
                        errors[i] = OPC_E_INVALIDHANDLE;
                        continue;
                    }
                    names[i] = it->tagName;
                    if (vqt) {
                        errors[i] = checkItemVQT(*it, vqt[i], converted[i].get());
                        continue;
                    }
                    // A client object is never copied or converted (that would call into it).
                    HRESULT hr = holdsObject(values[i])
                                     ? DISP_E_TYPEMISMATCH
                                     : VariantCopyInd(converted[i].get(), const_cast<VARIANT*>(&values[i]));
                    errors[i] = SUCCEEDED(hr) ? it->checkWrite(converted[i].get()) : hr;
                }
            }
            // An accepted value reaches this item and every other follower of the tag.
            for (DWORD i = 0; i < n; ++i)
                errors[i] = errors[i] != S_OK ? (vqt ? app.tags.refusedWrite(who, names[i], vqt[i], errors[i])
                                                     : app.tags.refusedWrite(who, names[i], &values[i], errors[i]))
                            : vqt ? writeTagVQT(who, names[i], *converted[i].get(), vqt[i])
                                  : app.tags.clientWrite(who, names[i], *converted[i].get());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        bool allOk = true;
        for (DWORD i = 0; i < n; ++i) allOk = allOk && errors[i] == S_OK;
        *ppErrors = errors.release();
        return allOk ? S_OK : S_FALSE;
    }

    void readAll(OPCDATASOURCE source, DWORD n, const OPCHANDLE* handles, OPCITEMSTATE* states, HRESULT* errors)
    {
        OPCServerApp& app = App();
        std::unique_lock<RecursiveLock> lock(app.globalLock);
        for (DWORD i = 0; i < n; ++i) {
            OPCITEMSTATE& st = states[i];
            OPCItem* it = owner_->findItem(handles[i]);
            if (!it) {
                errors[i] = OPC_E_INVALIDHANDLE;
                continue;
            }
            st.hClient = it->clientHandle;
            VariantInit(&st.vDataValue);
            QV_DEVICEREADPROC proc = source == OPC_DS_DEVICE ? app.deviceReadProc.load() : nullptr;
            if (proc) {
                // The tag may have been removed by the host: there is nothing to ask about.
                OPCTag* tag = app.tags.lookup(it->tagName);
                if (!tag) {
                    errors[i] = OPC_E_INVALIDHANDLE;
                    continue;
                }
                const DWORD tagHandle = tag->handle;
                const VARTYPE requested = it->requestedType;
                lock.unlock();
                errors[i] = deviceRead(proc, tagHandle, requested, &st.vDataValue, &st.wQuality, &st.ftTimeStamp);
                lock.lock();
                continue;
            }
            errors[i] = it->readValue(&st.vDataValue, &st.wQuality, &st.ftTimeStamp);
            if (!owner_->active.load() || !it->active) st.wQuality = OPC_QUALITY_OUT_OF_SERVICE;
        }
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeSyncIO(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCSyncIO2Impl(g));
}

} // namespace qv
