// The exported host functions of QvSrvKit.dll.
#include "qvsrvkit.h"
#include <string>
#include "core/OPCServerApp.h"
#include "runtime/Registration.h"
#include "base/GuidText.h"
#include "runtime/ServerLifetime.h"
#include "runtime/UpdateClock.h"
#include "base/Trace.h"
#include "ae/Conditions.h"
#include "ae/EventDelivery.h"

using namespace qv;

namespace {

std::string str(LPCSTR s) { return s ? std::string(s) : std::string(); }

// A refused call says why: a trace line at the calls level and the code for GetLastError
// (the host guide lists the codes). code 0: the reason the callee set, else a general failure.
BOOL refused(const char* function, DWORD code = 0)
{
    if (code == 0) code = GetLastError();
    if (code == 0) code = ERROR_GEN_FAILURE;
    QV_TRACE(trace::kCalls, "%s refused: error %lu", function, static_cast<unsigned long>(code));
    SetLastError(code); // last: tracing may have changed it
    return FALSE;
}

// The result of a call whose callee sets the reason of a refusal.
BOOL result(const char* function, bool ok)
{
    return ok ? TRUE : refused(function);
}

} // namespace

extern "C" {

void WINAPI QV_SetVendorInfo(LPCSTR szVendorInfo)
{
    OPCServerApp& app = App();
    std::string v = str(szVendorInfo);
    LockGuard g(app.globalLock);
    app.vendorInfo.swap(v);
    app.vendorInfoSet = true;
}

void WINAPI QV_SetVendorName(LPCSTR szVendorName)
{
    OPCServerApp& app = App();
    std::string v = str(szVendorName);
    LockGuard g(app.globalLock);
    app.vendorName.swap(v);
}

void WINAPI QV_SetMajorVersion(WORD w) { App().majorVersion = w; }
void WINAPI QV_SetMinorVersion(WORD w) { App().minorVersion = w; }
void WINAPI QV_SetBuildNumber(WORD w) { App().buildNumber = w; }
void WINAPI QV_SetBandWidth(DWORD d) { App().bandWidth = d; }
void WINAPI QV_SetServerState(DWORD d) { App().serverState = d; }

BOOL WINAPI QV_SetMatchCase(BOOL b)
{
    App().matchCaseFlag = b ? 1 : 0;
    return b;
}

void WINAPI QV_SetAsyncQueueLimit(DWORD d) { App().asyncQueueLimit = d; }

BOOL WINAPI QV_Registry(const CLSID* pClsid, LPCSTR szProgID, LPCSTR szDescription, LPCSTR szServerPath)
{
    if (!pClsid) return refused("QV_Registry", ERROR_INVALID_PARAMETER);
    App().rememberedClsid = *pClsid;
    SetLastError(0);
    return result("QV_Registry", registerServer(*pClsid, szProgID, szDescription, szServerPath,
                                                App().registryVendorCopy().c_str()));
}

BOOL WINAPI QV_RegistryS(LPCSTR szClsid, LPCSTR szProgID, LPCSTR szDescription, LPCSTR szServerPath)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return refused("QV_RegistryS", ERROR_INVALID_PARAMETER);
    return QV_Registry(&c, szProgID, szDescription, szServerPath);
}

BOOL WINAPI QV_Unregister(const CLSID* pClsid, LPCSTR szProgID)
{
    if (!pClsid) return refused("QV_Unregister", ERROR_INVALID_PARAMETER);
    SetLastError(0);
    return result("QV_Unregister", unregisterServer(*pClsid, szProgID));
}

BOOL WINAPI QV_UnregisterS(LPCSTR szClsid, LPCSTR szProgID)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return refused("QV_UnregisterS", ERROR_INVALID_PARAMETER);
    return QV_Unregister(&c, szProgID);
}

BOOL WINAPI QV_AsNTService(LPCSTR szServiceName)
{
    SetLastError(0);
    return result("QV_AsNTService", registerAsService(App().rememberedClsid, szServiceName));
}

BOOL WINAPI QV_InitOpcServer(const CLSID* pClsid, DWORD dwUpdatePeriod)
{
    if (!pClsid) return refused("QV_InitOpcServer", ERROR_INVALID_PARAMETER);
    SetLastError(0);
    return result("QV_InitOpcServer", startServer(*pClsid, dwUpdatePeriod == 0 ? 500 : dwUpdatePeriod));
}

BOOL WINAPI QV_InitOpcServerS(LPCSTR szClsid, DWORD dwUpdatePeriod)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return refused("QV_InitOpcServerS", ERROR_INVALID_PARAMETER);
    return QV_InitOpcServer(&c, dwUpdatePeriod);
}

BOOL WINAPI QV_UnInitOpcServer(void)
{
    stopServer();
    return TRUE;
}

DWORD WINAPI QV_CreateTag(LPCSTR szName, VARIANT vValue, WORD wQuality, BOOL bWriteable)
{
    // NULL, empty, an empty segment, a leading or trailing delimiter: ERROR_INVALID_NAME.
    if (!szName) {
        refused("QV_CreateTag", ERROR_INVALID_NAME);
        return kInvalidTagHandle;
    }
    const DWORD h = App().tags.create(szName, vValue, wQuality, bWriteable != FALSE);
    if (h == kInvalidTagHandle) refused("QV_CreateTag");
    return h;
}

BOOL WINAPI QV_RemoveTag(DWORD hTag)
{
    return result("QV_RemoveTag", App().tags.remove(hTag));
}

BOOL WINAPI QV_UpdateTag(DWORD hTag, VARIANT vValue, WORD wQuality)
{
    return result("QV_UpdateTag", App().tags.update(hTag, vValue, wQuality, nullptr));
}

BOOL WINAPI QV_UpdateTagWithTimeStamp(DWORD hTag, VARIANT vValue, WORD wQuality, FILETIME ftTimeStamp)
{
    return result("QV_UpdateTagWithTimeStamp", App().tags.update(hTag, vValue, wQuality, &ftTimeStamp));
}

BOOL WINAPI QV_UpdateTagByName(LPCSTR szName, VARIANT vValue, WORD wQuality)
{
    return result("QV_UpdateTagByName", App().tags.updateByName(str(szName), vValue, wQuality));
}

BOOL WINAPI QV_EndUpdateCycle(void)
{
    return Clock().hostTick() ? TRUE : FALSE;
}

BOOL WINAPI QV_SetTagProperties(DWORD hTag, DWORD dwPropertyID, LPCSTR szDescription, VARIANT vValue)
{
    SetLastError(0);
    return result("QV_SetTagProperties",
                  App().tags.setCustomProperty(hTag, dwPropertyID, str(szDescription), vValue));
}

BOOL WINAPI QV_SetTagLevelLimits(DWORD hTag, float fLowLow, BOOL bLowLowEnabled, DWORD dwLowLowSeverity, float fLow,
                                 BOOL bLowEnabled, DWORD dwLowSeverity, float fHigh, BOOL bHighEnabled,
                                 DWORD dwHighSeverity, float fHighHigh, BOOL bHighHighEnabled, DWORD dwHighHighSeverity)
{
    LevelLimit l[4] = {
        {fLowLow, bLowLowEnabled ? 1 : 0, static_cast<int>(dwLowLowSeverity)},
        {fLow, bLowEnabled ? 1 : 0, static_cast<int>(dwLowSeverity)},
        {fHigh, bHighEnabled ? 1 : 0, static_cast<int>(dwHighSeverity)},
        {fHighHigh, bHighHighEnabled ? 1 : 0, static_cast<int>(dwHighHighSeverity)},
    };
    std::string why;
    if (!checkLevelLimits(l, &why)) {
        QV_TRACE(trace::kErrors, "QV_SetTagLevelLimits(%lu) refused: %s", static_cast<unsigned long>(hTag), why.c_str());
        return refused("QV_SetTagLevelLimits", ERROR_INVALID_PARAMETER);
    }
    return App().tags.setLevelLimits(hTag, l) ? TRUE : refused("QV_SetTagLevelLimits", ERROR_INVALID_HANDLE);
}

BOOL WINAPI QV_ReadTag(DWORD hTag, VARIANT* pValue, WORD* pQuality, FILETIME* pTimeStamp)
{
    return App().tags.read(hTag, pValue, pQuality, pTimeStamp) ? TRUE : refused("QV_ReadTag", ERROR_INVALID_HANDLE);
}

BOOL WINAPI QV_EnableWriteNotification(QV_WRITENOTIFICATIONPROC pfn)
{
    App().writeNotificationProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_EnableDeviceRead(QV_DEVICEREADPROC pfn)
{
    App().deviceReadProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_EnableDisconnectNotification(QV_DISCONNECTNOTIFICATIONPROC pfn)
{
    App().disconnectNotificationProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_EnableWriteVQTNotification(QV_WRITEVQTNOTIFICATIONPROC pfn)
{
    App().writeVQTNotificationProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_SetTagAlarmAckRequired(DWORD hTag, BOOL bRequired)
{
    if (setAlarmAckRequired(hTag, bRequired != FALSE)) return TRUE;
    return refused("QV_SetTagAlarmAckRequired", ERROR_INVALID_HANDLE);
}

BOOL WINAPI QV_EnableAckNotification(QV_ACKNOTIFICATIONPROC pfn)
{
    App().ackNotificationProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_SetTagDiscreteAlarm(DWORD hTag, VARIANT vAlarmValue, BOOL bActiveWhenEqual, DWORD dwSeverity,
                                   LPCSTR szMessage)
{
    SetLastError(0);
    return result("QV_SetTagDiscreteAlarm",
                  setDiscreteAlarm(hTag, vAlarmValue, bActiveWhenEqual != FALSE, dwSeverity, str(szMessage)));
}

BOOL WINAPI QV_SendSimpleEvent(LPCSTR szSource, LPCSTR szMessage, DWORD dwSeverity)
{
    if (!szSource || !*szSource) return refused("QV_SendSimpleEvent", ERROR_INVALID_PARAMETER);
    SetLastError(0);
    return result("QV_SendSimpleEvent", sendSimpleEvent(szSource, str(szMessage), dwSeverity));
}

int WINAPI QV_GetClientCounts(void)
{
    return static_cast<int>(App().clientCount());
}

BOOL WINAPI QV_SetTraceFile(LPCSTR szPath, DWORD dwLevel)
{
    SetLastError(0);
    return result("QV_SetTraceFile", trace::setFile(szPath, dwLevel));
}

BOOL WINAPI QV_EnableWriteAuditNotification(QV_WRITEAUDITPROC pfn)
{
    App().writeAuditProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_SetReportEveryUpdate(BOOL bEveryUpdate)
{
    return App().reportEveryUpdate.exchange(bEveryUpdate != FALSE) ? TRUE : FALSE;
}

BOOL WINAPI QV_SetTagAlarmDeadband(DWORD hTag, double dDeadband)
{
    SetLastError(0);
    return result("QV_SetTagAlarmDeadband", setAlarmDeadband(hTag, dDeadband));
}

BOOL WINAPI QV_SetEventQueueLimit(DWORD dwLimit)
{
    if (dwLimit == 0 || dwLimit > 10000000) return refused("QV_SetEventQueueLimit", ERROR_INVALID_PARAMETER);
    LockGuard g(App().globalLock);
    setEventQueueLimit(dwLimit);
    return TRUE;
}

} // extern "C"
