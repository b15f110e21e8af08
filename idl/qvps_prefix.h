/*
 * Forced include (-include) for the widl-generated *_p.c files.
 * The proxy vtables name IUnknown_{QueryInterface,AddRef,Release}_Proxy
 * (exported by rpcrt4), but mingw's unknwnbase.h declares them only for C++.
 */
#ifndef QV_QVPS_PREFIX_H
#define QV_QVPS_PREFIX_H

#include <rpc.h>
#include <rpcndr.h>
#include <unknwn.h>

#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
#endif

#endif /* QV_QVPS_PREFIX_H */
