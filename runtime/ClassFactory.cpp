#include "runtime/ClassFactory.h"
#include <memory>
#include <new>
#include "core/OPCServerApp.h"
#include "base/CallOut.h"
#include "base/Trace.h"
#include "server/OPCServer.h"

namespace qv {

HRESULT STDMETHODCALLTYPE ClassFactoryImpl::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactoryImpl::AddRef() { return static_cast<ULONG>(++refs_); }
ULONG STDMETHODCALLTYPE ClassFactoryImpl::Release() { return static_cast<ULONG>(--refs_); }

HRESULT STDMETHODCALLTYPE ClassFactoryImpl::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer) {
        if (ppv) *ppv = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    return createServer(riid, ppv);
}

HRESULT STDMETHODCALLTYPE ClassFactoryImpl::LockServer(BOOL lock)
{
    if (lock) ++App().serverLocks;
    else --App().serverLocks;
    return S_OK;
}

HRESULT createServer(REFIID riid, void** ppv)
{
    OPCServerApp& app = App();
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (app.stopping.load()) return CO_E_SERVER_STOPPING;
    if (!app.started.load()) return E_FAIL;
    std::shared_ptr<OPCServer> s = OPCServer::create();
    if (!s) return E_OUTOFMEMORY;
    HRESULT hr = s->QueryInterface(riid, ppv);
    if (FAILED(hr)) return hr; // nothing else made: the object goes with s
    // The worker's hold; suspended until its handle is stored (the worker closes it).
    std::unique_ptr<std::shared_ptr<OPCServer>> workerHold(new (std::nothrow) std::shared_ptr<OPCServer>(s));
    // The worker lets go of the module hold as its very last step.
    HANDLE h = workerHold ? createHeldThread(s->moduleHold, &OPCServer::workerMain, workerHold.get(), CREATE_SUSPENDED)
                          : nullptr;
    if (!h) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
        return E_FAIL;
    }
    workerHold.release();
    s->workerThread = h;
    s->noteClientProcess(); // this call comes from the client itself
    ++app.liveWorkers;
    if (!app.addClientWhileServing(s.get())) {
        // The stop began meanwhile and has its list already: this client would never be told.
        s->onRemovedFromClientList(); // gone: its worker ends at once
        ResumeThread(h);
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
        return CO_E_SERVER_STOPPING;
    }
    QV_TRACE(trace::kConnections, "client %lu connected: process %lu, account \"%s\" (%ld clients)",
             static_cast<unsigned long>(s->clientNumber), static_cast<unsigned long>(s->clientPid),
             s->clientAccount.c_str(), app.clientCount());
    ResumeThread(h);
    return hr;
}

} // namespace qv
