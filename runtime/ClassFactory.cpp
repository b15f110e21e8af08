#include "runtime/ClassFactory.h"
#include <new>
#include "runtime/OPCServerApp.h"
#include "runtime/Trace.h"
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
    if (!app.started.load()) return E_FAIL;
    OPCServer* s = new (std::nothrow) OPCServer();
    if (!s) return E_OUTOFMEMORY;
    HRESULT hr = s->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        delete s;
        return hr;
    }
    // Suspended until its handle is stored: the worker closes that handle when it ends.
    HANDLE h = CreateThread(nullptr, 0, &OPCServer::workerMain, s, CREATE_SUSPENDED, nullptr);
    if (!h) {
        *ppv = nullptr;
        delete s;
        return E_FAIL;
    }
    s->workerThread = h;
    ++app.liveWorkers;
    app.addClient(s);
    QV_TRACE(trace::kConnections, "client %p connected (%ld clients)", static_cast<void*>(s), app.clientCount());
    ResumeThread(h);
    return hr;
}

} // namespace qv
