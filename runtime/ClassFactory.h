#pragma once
#include <windows.h>
#include <ole2.h>
#include <atomic>

namespace qv {

// The class object registered for the host's CLSID: one OPCServer per CreateInstance.
class ClassFactoryImpl : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    std::atomic<LONG> refs_{0}; // never frees the object: the runtime owns it
};

// Creates a server object for a client (the class factory's CreateInstance).
HRESULT createServer(REFIID riid, void** ppv);

} // namespace qv
