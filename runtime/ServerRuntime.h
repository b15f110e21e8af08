#pragma once
#include <windows.h>
#include <ole2.h>
#include <atomic>

namespace qv {

// The class object registered for the host's CLSID: one OPCServer per CreateInstance.
class ServerClassFactory : public IClassFactory {
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

bool startServer(const CLSID& clsid, DWORD period);
void stopServer();
// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; false when the text does not match.
bool parseGuidText(const char* text, CLSID* out);
// Lower-case GUID text with braces, 38 characters.
void formatGuidText(const CLSID& clsid, char out[39]);
// The teardown that is safe when the library is unloaded (no waiting under the loader lock).
void unloadTeardown(bool processTerminating);

} // namespace qv
