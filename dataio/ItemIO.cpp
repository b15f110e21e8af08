// IOPCItemIO: reads under a maximum age and writes of value, quality and time stamp by item
// ID, straight on the tags (no group).
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

// The tag an item ID names (a branch node is no item); the error when there is none.
OPCTag* tagFor(OPCServerApp& app, LPCWSTR id, HRESULT* hr)
{
    *hr = S_OK;
    std::string name = narrow(id);
    if (name.empty()) {
        *hr = OPC_E_INVALIDITEMID;
        return nullptr;
    }
    OPCTag* t = app.tags.lookup(name);
    if (!t || t->handle == kInvalidTagHandle) {
        *hr = OPC_E_UNKNOWNITEMID;
        return nullptr;
    }
    return t;
}

// At the trace's items level: each result that is not S_OK with its item ID.
void traceIdResults(const char* method, DWORD n, const LPCWSTR* ids, const HRESULT* errors)
{
    trace::itemResults(method, n, errors, [&](DWORD i) { return narrow(ids[i]); });
}

class OPCItemIOImpl : public InterfaceObject<IOPCItemIO, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                   WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemIO::Read", dwCount, [&]() -> HRESULT {
            if (ppvValues) *ppvValues = nullptr;
            if (ppwQualities) *ppwQualities = nullptr;
            if (ppftTimeStamps) *ppftTimeStamps = nullptr;
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !pszItemIDs || !pdwMaxAge || !ppvValues || !ppwQualities || !ppftTimeStamps || !ppErrors)
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            OPCServerApp& app = App();
            TaskArray<VARIANT> values(dwCount);
            TaskArray<WORD> qualities(dwCount);
            TaskArray<FILETIME> times(dwCount);
            TaskArray<HRESULT> errors(dwCount);
            if (!values || !qualities || !times || !errors) return E_OUTOFMEMORY;
            bool allOk = true;
            try {
                std::vector<std::pair<DWORD, DWORD>> device; // index, tag handle
                const QV_DEVICEREADPROC proc = app.deviceReadProc.load();
                const FILETIME now = utcNow(); // one clock read for the whole call
                {
                    LockGuard lock(app.globalLock);
                    for (DWORD i = 0; i < dwCount; ++i) {
                        VariantInit(&values[i]);
                        OPCTag* tag = tagFor(app, pszItemIDs[i], &errors[i]);
                        if (!tag) continue;
                        if (!(tag->accessRights() & OPC_READABLE)) errors[i] = OPC_E_BADRIGHTS;
                        else if (proc && tooOld(pdwMaxAge[i], tag->state->timestamp, now)) device.emplace_back(i, tag->handle);
                        else {
                            errors[i] = VariantCopy(&values[i], tag->state->value.get());
                            qualities[i] = tag->state->quality;
                            times[i] = tag->state->timestamp;
                        }
                    }
                }
                for (auto& d : device)
                    errors[d.first] = deviceRead(proc, d.second, VT_EMPTY, &values[d.first], &qualities[d.first],
                                                 &times[d.first]);
            } catch (const std::bad_alloc&) {
                for (DWORD i = 0; i < dwCount; ++i) VariantClear(&values[i]);
                return E_OUTOFMEMORY;
            }
            for (DWORD i = 0; i < dwCount; ++i) allOk = allOk && errors[i] == S_OK;
            *ppvValues = values.release();
            *ppwQualities = qualities.release();
            *ppftTimeStamps = times.release();
            *ppErrors = errors.release();
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { traceIdResults(m, dwCount, pszItemIDs, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT,
                                       HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemIO::WriteVQT", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !pszItemIDs || !pItemVQT || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            OPCServerApp& app = App();
            TaskArray<HRESULT> errors(dwCount);
            if (!errors) return E_OUTOFMEMORY;
            const bool vqtProc = app.writeVQTNotificationProc.load() != nullptr;
            try {
                std::vector<Variant> values(dwCount);
                std::vector<std::string> names(dwCount);
                ClientIdentity who;
                {
                    LockGuard lock(app.globalLock);
                    who = writerOf(owner_);
                    for (DWORD i = 0; i < dwCount; ++i) {
                        const OPCITEMVQT& q = pItemVQT[i];
                        OPCTag* tag = tagFor(app, pszItemIDs[i], &errors[i]);
                        if (!tag) continue;
                        names[i] = tag->name;
                        errors[i] = checkTagWrite(*tag, q, vqtProc, values[i].get());
                    }
                }
                for (DWORD i = 0; i < dwCount; ++i)
                    errors[i] = errors[i] == S_OK
                                    ? writeTagVQT(who, names[i], *values[i].get(), pItemVQT[i])
                                    : app.tags.refusedWrite(who, names[i].empty() ? narrow(pszItemIDs[i]) : names[i],
                                                            pItemVQT[i], errors[i]);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            bool allOk = true;
            for (DWORD i = 0; i < dwCount; ++i) allOk = allOk && errors[i] == S_OK;
            *ppErrors = errors.release();
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { traceIdResults(m, dwCount, pszItemIDs, *ppErrors); });
    }

private:
    // The checks a group item makes on a write, here against the tag itself: rights, and the
    // value converted to the tag's type.
    static HRESULT checkTagWrite(const OPCTag& tag, const OPCITEMVQT& q, bool vqtProc, VARIANT* out)
    {
        if ((q.bQualitySpecified || q.bTimeStampSpecified) && !vqtProc) return OPC_E_NOTSUPPORTED;
        if (!(tag.accessRights() & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
        // A client object is never copied or converted (that would call into it).
        if (holdsObject(q.vDataValue)) return DISP_E_TYPEMISMATCH;
        HRESULT hr = VariantCopyInd(out, const_cast<VARIANT*>(&q.vDataValue));
        if (FAILED(hr)) return hr;
        const VARTYPE t = tag.canonicalType();
        if (V_VT(out) != t && t != VT_EMPTY && t != VT_NULL && !(t & VT_ARRAY))
            hr = VariantChangeType(out, out, 0, t);
        else if ((t & VT_ARRAY) && V_VT(out) != t)
            hr = DISP_E_TYPEMISMATCH;
        return hr;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCItemIO(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCItemIOImpl(s));
}

} // namespace qv
