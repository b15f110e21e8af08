// DA 1.0 IOPCAsyncIO: the same records, queue, limit and id counter as IOPCAsyncIO2, with
// version-1 records that the dispatch pass completes through the group's IDataObject streams.
#include <new>
#include <string>
#include <vector>
#include "dataio/DataIo.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCAsyncIOImpl : public InterfaceObject<IOPCAsyncIO, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    // dwConnection is not consulted: completions go to the sinks of the pass.
    HRESULT STDMETHODCALLTYPE Read(DWORD, OPCDATASOURCE dwSource, DWORD dwNumItems, OPCHANDLE* phServer,
                                   DWORD* pTransactionID, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO::Read", dwNumItems, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwNumItems == 0 || !phServer || !pTransactionID || !ppErrors) return E_INVALIDARG;
            if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (!owner_->hasDA1DataSink()) return CONNECT_E_NOCONNECTION;
            if (owner_->queueFull()) return E_FAIL;
            return acceptWithErrors(1, 0, dwNumItems, phServer, pTransactionID, ppErrors, [&](const AsyncRequest& r) {
                return acceptRead(*owner_, r, nullptr, dwSource == OPC_DS_DEVICE);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwNumItems, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Write(DWORD, DWORD dwNumItems, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    DWORD* pTransactionID, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO::Write", dwNumItems, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (dwNumItems == 0 || !phServer || !pTransactionID || !ppErrors || !pItemValues) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDA1WriteSink()) return CONNECT_E_NOCONNECTION;
            return acceptWithErrors(1, 0, dwNumItems, phServer, pTransactionID, ppErrors, [&](const AsyncRequest& r) {
                return acceptWrite(*owner_, r, pItemValues, nullptr);
            });
        }, [&](const char* m) { traceItemResults(*owner_, m, dwNumItems, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE Refresh(DWORD, OPCDATASOURCE dwSource, DWORD* pTransactionID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO::Refresh", 0, [&]() -> HRESULT {
            if (!pTransactionID) return E_INVALIDARG;
            if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
            if (owner_->closed()) return kGoneResult;
            if (owner_->queueFull()) return E_FAIL;
            if (!owner_->hasDA1DataSink()) return CONNECT_E_NOCONNECTION;
            return acceptRefresh(*owner_, 1, 0, dwSource == OPC_DS_DEVICE, nullptr, pTransactionID);
        });
    }

    HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCAsyncIO::Cancel", 0, [&]() -> HRESULT {
            // DA 1.0 has no cancel notification: a cancelled record completes with nothing.
            return cancelRequest(*owner_, 1, dwTransactionID);
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeAsyncIO(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCAsyncIOImpl(g));
}

} // namespace qv
