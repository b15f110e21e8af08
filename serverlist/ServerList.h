#pragma once
// The OPC server browser (OPC.ServerList.1): answers from this machine's registry which OPC
// servers it has, so that clients here and on other nodes can list them.
#include <windows.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "qvopc.h"

namespace qv::serverlist {

// The registry view of the other width (on 32-bit Windows the flag is ignored).
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

// {13486D44-4821-11D2-A494-3CB306C10000}, the AppID the OPC standard gives the browser.
extern const GUID kAppId;

// Classes registered in any registry view that implement at least one of impl (any class
// when cImpl is (ULONG)-1) and require nothing outside req (no check when cReq is
// (ULONG)-1), the rule of ICatInformation::EnumClassesOfCategories. Sorted, no duplicates.
std::vector<CLSID> classesOfCategories(ULONG cImpl, const CATID* impl, ULONG cReq, const CATID* req);

struct ClassDetails {
    std::wstring progId, userType, verIndProgId; // empty when the registry has none
};
// False when the class is not registered.
bool classDetails(const CLSID& clsid, ClassDetails& out);
// The class a ProgID names (following CurVer for a version-independent one).
bool clsidFromProgId(const wchar_t* progId, CLSID& out);

// The class object clients create OPC.ServerList.1 with. Every object it makes holds the
// server process (CoAddRefServerProcess); onLastRelease runs when the last one goes.
IClassFactory* newClassFactory();
void setOnLastRelease(void (*fn)());

// The browser's end (ProcessLife.cpp). Every hold and release is activity: the linger after
// the last client restarts with it.
void noteProcessActivity();
DWORD lastProcessActivity();
// The holds on the browser are counted per client process: a local client's end is noticed
// as the server notices a dead client's, by its process handle. holdForCaller counts one for
// the process making the current call (null: one that cannot be watched, a remote client);
// releaseHold lets go of it; releaseCallerHold of one the calling process took (LockServer).
struct ClientHolds;
ClientHolds* holdForCaller();
void releaseHold(ClientHolds* c);
void releaseCallerHold();
// True when every client process that still holds something has ended (Wine never releases
// a dead client's references); also when nothing holds the browser.
bool onlyDeadClientsHold();
// Set before the browser's last look: activations then answer CO_E_SERVER_STOPPING.
void setProcessStopping(bool stopping);
bool processStopping();

// Registration (--regserver / --unregserver). Both leave a browser that another product
// registered untouched and say so on stdout.
bool registerBrowser(const std::wstring& exePath, const wchar_t* serviceName);
bool unregisterBrowser(const std::wstring& exePath);

} // namespace qv::serverlist
