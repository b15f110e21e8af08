// IOPCCommon: one locale (the system default), the shared error texts, the client's name.
#include <new>
#include <string>
#include "core/OPCServerApp.h"
#include "base/ErrorText.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

constexpr LCID kServerLocale = 0x0800; // LOCALE_SYSTEM_DEFAULT

class OPCCommonImpl : public InterfaceObject<IOPCCommon, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override
    {
        return trace::traced(owner_->traceClient(), "IOPCCommon::SetLocaleID", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            return dwLcid == kServerLocale ? S_OK : E_INVALIDARG;
        });
    }

    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override
    {
        return trace::traced(owner_->traceClient(), "IOPCCommon::GetLocaleID", 0, [&]() -> HRESULT {
            if (!pdwLcid) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            *pdwLcid = kServerLocale;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override
    {
        return trace::traced(owner_->traceClient(), "IOPCCommon::QueryAvailableLocaleIDs", 0, [&]() -> HRESULT {
            if (pdwCount) *pdwCount = 0;
            if (pdwLcid) *pdwLcid = nullptr;
            if (!pdwCount || !pdwLcid) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            TaskArray<LCID> ids(1);
            if (!ids) return E_OUTOFMEMORY;
            ids[0] = kServerLocale;
            *pdwLcid = ids.release();
            *pdwCount = 1;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override
    {
        return trace::traced(owner_->traceClient(), "IOPCCommon::GetErrorString", 0, [&]() -> HRESULT {
            if (!ppString) return E_INVALIDARG;
            *ppString = nullptr;
            if (owner_->gone()) return kGoneResult;
            try {
                std::string text = errorText(dwError);
                if (text.empty()) return E_FAIL;
                LPWSTR w = widen(text);
                if (!w) return E_OUTOFMEMORY;
                *ppString = w;
                return S_OK;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }

    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override
    {
        return trace::traced(owner_->traceClient(), "IOPCCommon::SetClientName", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            try {
                std::string name = narrow(szName);
                QV_TRACE(trace::kConnections, "client %lu named \"%s\"",
                         static_cast<unsigned long>(owner_->clientNumber), name.c_str());
                LockGuard g(App().globalLock);
                owner_->clientName.swap(name);
                return S_OK;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCCommon(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new OPCCommonImpl(s));
}

} // namespace qv
