#pragma once
// Activation of the test host for out-of-process tests. A host that is stopping (a test made
// it stop, or its last client just left) still answers for a moment and refuses new clients;
// a fresh activation then starts a new host. So a failed activation is retried for a while.
#include <windows.h>
#include <objbase.h>

inline HRESULT activateTestHost(REFCLSID clsid, REFIID iid, void** out)
{
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 150; ++attempt) {
        *out = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, out);
        if (SUCCEEDED(hr)) return hr;
        Sleep(200);
    }
    return hr;
}
