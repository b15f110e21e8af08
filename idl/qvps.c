/*
 * Exported entry points of QvSrvKitPS.dll, the proxy/stub DLL for the OPC
 * interfaces.
 *
 * dlldata.c is compiled with ENTRY_PREFIX=QvPsGen_, so rpcproxy.h names its
 * generated entries QvPsGen_DllMain, QvPsGen_DllGetClassObject, ... and the
 * exported ones are defined here. Class object and unloading are forwarded
 * unchanged; registration is our own, because the generated one
 * (NdrDllRegisterProxy/NdrDllUnregisterProxy) overwrites and deletes every
 * Interface\{IID} key of the DLL, whoever owns it.
 *
 * On Windows the shared proxy of the OPC standard usually owns these IIDs
 * already; its wire format is identical to ours. So:
 *  - DllRegisterServer points an IID at our CLSID only when no other live
 *    proxy serves it (ProxyStubClsid32 absent, already ours, or naming a
 *    CLSID whose InprocServer32 file does not exist).
 *  - When our CLSID already names another live copy of this DLL (a vendor's
 *    registration from the SDK folder, say), that copy stays in charge.
 *  - DllUnregisterServer works only in a registry view whose CLSID key names
 *    this very file, and there removes the Interface keys whose
 *    ProxyStubClsid32 names our CLSID, then our CLSID key.
 * Installing and then removing us therefore never breaks a shared proxy, nor
 * the registration of another copy (the 32-bit view of a 64-bit machine has
 * its own Interface and CLSID keys).
 */
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>
#include <wchar.h>

/* Defined by dlldata.c (rpcproxy.h macros). */
extern const ProxyFileInfo *aProxyFileList[];
extern const CLSID CLSID_PSFactoryBuffer;
extern HINSTANCE hProxyDll;
BOOL WINAPI QvPsGen_DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved);
HRESULT WINAPI QvPsGen_DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
HRESULT WINAPI QvPsGen_DllCanUnloadNow(void);

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved);
HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
HRESULT WINAPI DllCanUnloadNow(void);
HRESULT WINAPI DllRegisterServer(void);
HRESULT WINAPI DllUnregisterServer(void);

#define GUID_CHARS 39 /* "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" + NUL */

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    return QvPsGen_DllMain(inst, reason, reserved);
}

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    return QvPsGen_DllGetClassObject(rclsid, riid, ppv);
}

HRESULT WINAPI DllCanUnloadNow(void)
{
    return QvPsGen_DllCanUnloadNow();
}

static HRESULT hr_from(LONG err)
{
    return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(err);
}

static LONG set_sz(HKEY key, const WCHAR *sub, const WCHAR *name, const WCHAR *value)
{
    HKEY k;
    LONG err = RegCreateKeyExW(key, sub, 0, NULL, 0, KEY_SET_VALUE, NULL, &k, NULL);
    if (err != ERROR_SUCCESS)
        return err;
    err = RegSetValueExW(k, name, 0, REG_SZ, (const BYTE *)value,
                         (DWORD)((wcslen(value) + 1) * sizeof(WCHAR)));
    RegCloseKey(k);
    return err;
}

/* Default value of HKCR\<path> as a string; FALSE if absent or not a string. */
static BOOL get_sz(const WCHAR *path, WCHAR *buf, DWORD chars)
{
    DWORD bytes = chars * sizeof(WCHAR);
    /* REG_EXPAND_SZ is expanded and accepted as REG_SZ. */
    return RegGetValueW(HKEY_CLASSES_ROOT, path, NULL, RRF_RT_REG_SZ, NULL, buf, &bytes)
           == ERROR_SUCCESS;
}

/* Is clsid (string form) a proxy whose DLL is actually present? */
static BOOL other_proxy_alive(const WCHAR *clsid)
{
    WCHAR path[64 + GUID_CHARS], file[MAX_PATH], found[MAX_PATH];
    swprintf(path, sizeof path / sizeof path[0], L"CLSID\\%ls\\InprocServer32", clsid);
    if (!get_sz(path, file, MAX_PATH) || !file[0])
        return FALSE;
    /* Handles a full path as well as a bare name found on the DLL search path. */
    return SearchPathW(NULL, file, NULL, MAX_PATH, found, NULL) != 0;
}

/* The other registry view: the 32-bit one from 64-bit code and the other way
 * round (on 32-bit Windows the flag is ignored and both are the same view). */
#ifdef _WIN64
#define OTHER_VIEW KEY_WOW64_32KEY
#else
#define OTHER_VIEW KEY_WOW64_64KEY
#endif

/* Two names of one file: compared in their long form (a registration may hold
 * a short path). */
static BOOL same_path(const WCHAR *a, const WCHAR *b)
{
    WCHAR la[MAX_PATH], lb[MAX_PATH];
    DWORD n = GetLongPathNameW(a, la, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        lstrcpynW(la, a, MAX_PATH);
    n = GetLongPathNameW(b, lb, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        lstrcpynW(lb, b, MAX_PATH);
    return _wcsicmp(la, lb) == 0;
}

/* The file our CLSID's InprocServer32 names in a view; FALSE if none. */
static BOOL registered_file(REGSAM view, const WCHAR *ours, WCHAR *file, DWORD chars)
{
    WCHAR path[64 + GUID_CHARS];
    DWORD bytes = chars * sizeof(WCHAR);
    HKEY k;
    LONG err;
    swprintf(path, sizeof path / sizeof path[0], L"CLSID\\%ls\\InprocServer32", ours);
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ | view, &k) != ERROR_SUCCESS)
        return FALSE;
    err = RegGetValueW(k, NULL, NULL, RRF_RT_REG_SZ, NULL, file, &bytes);
    RegCloseKey(k);
    return err == ERROR_SUCCESS && file[0];
}

static HRESULT register_interface(const IID *iid, const char *name, ULONG methods,
                                  const WCHAR *ours)
{
    WCHAR siid[GUID_CHARS], key[32 + GUID_CHARS], psk[64 + GUID_CHARS], nmk[64 + GUID_CHARS];
    WCHAR owner[GUID_CHARS + 8], wname[256], num[16];
    LONG err;

    StringFromGUID2(iid, siid, GUID_CHARS);
    swprintf(key, sizeof key / sizeof key[0], L"Interface\\%ls", siid);
    swprintf(psk, sizeof psk / sizeof psk[0], L"%ls\\ProxyStubClsid32", key);
    swprintf(nmk, sizeof nmk / sizeof nmk[0], L"%ls\\NumMethods", key);

    if (get_sz(psk, owner, sizeof owner / sizeof owner[0]) && _wcsicmp(owner, ours) != 0
        && other_proxy_alive(owner))
        return S_OK; /* a shared proxy serves it; leave it in charge */

    if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wname, sizeof wname / sizeof wname[0]))
        wname[0] = 0;
    swprintf(num, sizeof num / sizeof num[0], L"%lu", (unsigned long)methods);

    err = set_sz(HKEY_CLASSES_ROOT, key, NULL, wname);
    if (err == ERROR_SUCCESS)
        err = set_sz(HKEY_CLASSES_ROOT, nmk, NULL, num);
    if (err == ERROR_SUCCESS)
        err = set_sz(HKEY_CLASSES_ROOT, psk, NULL, ours);
    return hr_from(err);
}

static REGSAM g_unreg_view; /* the view unregister_interface works in */

static HRESULT unregister_interface(const IID *iid, const WCHAR *ours)
{
    WCHAR siid[GUID_CHARS], owner[GUID_CHARS + 8];
    DWORD bytes = sizeof owner;
    HKEY root, k;
    LONG err;

    StringFromGUID2(iid, siid, GUID_CHARS);
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface", 0, KEY_ALL_ACCESS | g_unreg_view, &root)
        != ERROR_SUCCESS)
        return S_OK;
    err = RegOpenKeyExW(root, siid, 0, KEY_READ | g_unreg_view, &k);
    if (err == ERROR_SUCCESS) {
        err = RegGetValueW(k, L"ProxyStubClsid32", NULL, RRF_RT_REG_SZ, NULL, owner, &bytes);
        RegCloseKey(k);
    }
    /* not ours (or already gone): keep */
    if (err != ERROR_SUCCESS || _wcsicmp(owner, ours) != 0) {
        RegCloseKey(root);
        return S_OK;
    }
    err = RegDeleteTreeW(root, siid);
    RegCloseKey(root);
    return err == ERROR_FILE_NOT_FOUND ? S_OK : hr_from(err);
}

typedef HRESULT (*iface_fn)(const IID *iid, const char *name, ULONG methods,
                            const WCHAR *ours);

/* Calls fn for every interface in the generated proxy file list. */
static HRESULT for_each_interface(iface_fn fn, const WCHAR *ours)
{
    HRESULT result = S_OK;
    for (const ProxyFileInfo **pf = aProxyFileList; *pf; ++pf) {
        for (unsigned short i = 0; i < (*pf)->TableSize; ++i) {
            const CInterfaceStubHeader *h = &(*pf)->pStubVtblList[i]->header;
            HRESULT hr = fn(h->piid, (*pf)->pNamesArray[i], h->DispatchTableCount, ours);
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
    }
    return result;
}

static HRESULT unregister_adapter(const IID *iid, const char *name, ULONG methods,
                                  const WCHAR *ours)
{
    (void)name;
    (void)methods;
    return unregister_interface(iid, ours);
}

HRESULT WINAPI DllRegisterServer(void)
{
    WCHAR ours[GUID_CHARS], key[16 + GUID_CHARS], sub[48 + GUID_CHARS], file[MAX_PATH];
    WCHAR other[MAX_PATH];
    LONG err;
    DWORD n;

    StringFromGUID2(&CLSID_PSFactoryBuffer, ours, GUID_CHARS);
    n = GetModuleFileNameW(hProxyDll, file, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return E_FAIL;
    if (registered_file(0, ours, other, MAX_PATH) && !same_path(other, file)
        && GetFileAttributesW(other) != INVALID_FILE_ATTRIBUTES)
        return S_OK; /* another live copy of us is registered; it serves */

    swprintf(key, sizeof key / sizeof key[0], L"CLSID\\%ls", ours);
    swprintf(sub, sizeof sub / sizeof sub[0], L"%ls\\InprocServer32", key);
    err = set_sz(HKEY_CLASSES_ROOT, key, NULL, L"PSFactoryBuffer");
    if (err == ERROR_SUCCESS)
        err = set_sz(HKEY_CLASSES_ROOT, sub, NULL, file);
    if (err == ERROR_SUCCESS)
        err = set_sz(HKEY_CLASSES_ROOT, sub, L"ThreadingModel", L"Both");
    if (err != ERROR_SUCCESS)
        return hr_from(err);

    return for_each_interface(register_interface, ours);
}

HRESULT WINAPI DllUnregisterServer(void)
{
    static const REGSAM views[] = {0, OTHER_VIEW};
    WCHAR ours[GUID_CHARS], file[MAX_PATH], registered[MAX_PATH];
    HRESULT hr = S_OK;
    DWORD n;
    unsigned v;

    StringFromGUID2(&CLSID_PSFactoryBuffer, ours, GUID_CHARS);
    n = GetModuleFileNameW(hProxyDll, file, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return E_FAIL;
    for (v = 0; v < sizeof views / sizeof views[0]; ++v) {
        HKEY clsid;
        HRESULT r;
        LONG err;
        /* Only where the registration is this file's (full path). */
        if (!registered_file(views[v], ours, registered, MAX_PATH) || !same_path(registered, file))
            continue;
        g_unreg_view = views[v];
        r = for_each_interface(unregister_adapter, ours);
        if (FAILED(r) && SUCCEEDED(hr))
            hr = r;
        err = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_ALL_ACCESS | views[v], &clsid);
        if (err == ERROR_SUCCESS) {
            err = RegDeleteTreeW(clsid, ours);
            RegCloseKey(clsid);
        }
        if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND && SUCCEEDED(hr))
            hr = hr_from(err);
    }
    return hr;
}
