// The exported host functions of QvSrvKit.dll.
#include "qvsrvkit.h"
#include <string>
#include "runtime/OPCServerApp.h"
#include "runtime/Registration.h"
#include "base/GuidText.h"
#include "runtime/ServerLifetime.h"
#include "base/Trace.h"
#include "ae/Conditions.h"

using namespace qv;

namespace {

std::string str(LPCSTR s) { return s ? std::string(s) : std::string(); }

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
    if (!pClsid) return FALSE;
    App().rememberedClsid = *pClsid;
    return registerServer(*pClsid, szProgID, szDescription, szServerPath, App().registryVendorCopy().c_str()) ? TRUE
                                                                                                              : FALSE;
}

BOOL WINAPI QV_RegistryS(LPCSTR szClsid, LPCSTR szProgID, LPCSTR szDescription, LPCSTR szServerPath)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return FALSE;
    return QV_Registry(&c, szProgID, szDescription, szServerPath);
}

BOOL WINAPI QV_Unregister(const CLSID* pClsid, LPCSTR szProgID)
{
    if (!pClsid) return FALSE;
    return unregisterServer(*pClsid, szProgID) ? TRUE : FALSE;
}

BOOL WINAPI QV_UnregisterS(LPCSTR szClsid, LPCSTR szProgID)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return FALSE;
    return QV_Unregister(&c, szProgID);
}

BOOL WINAPI QV_AsNTService(LPCSTR szServiceName)
{
    return registerAsService(App().rememberedClsid, szServiceName) ? TRUE : FALSE;
}

BOOL WINAPI QV_InitOpcServer(const CLSID* pClsid, DWORD dwUpdatePeriod)
{
    if (!pClsid) return FALSE;
    return startServer(*pClsid, dwUpdatePeriod == 0 ? 500 : dwUpdatePeriod) ? TRUE : FALSE;
}

BOOL WINAPI QV_InitOpcServerS(LPCSTR szClsid, DWORD dwUpdatePeriod)
{
    CLSID c;
    if (!parseGuidText(szClsid, &c)) return FALSE;
    return QV_InitOpcServer(&c, dwUpdatePeriod);
}

BOOL WINAPI QV_UnInitOpcServer(void)
{
    stopServer();
    return TRUE;
}

DWORD WINAPI QV_CreateTag(LPCSTR szName, VARIANT vValue, WORD wQuality, BOOL bWriteable)
{
    return App().tags.create(str(szName), vValue, wQuality, bWriteable != FALSE);
}

BOOL WINAPI QV_RemoveTag(DWORD hTag)
{
    return App().tags.remove(hTag) ? TRUE : FALSE;
}

BOOL WINAPI QV_UpdateTag(DWORD hTag, VARIANT vValue, WORD wQuality)
{
    return App().tags.update(hTag, vValue, wQuality, nullptr) ? TRUE : FALSE;
}

BOOL WINAPI QV_UpdateTagWithTimeStamp(DWORD hTag, VARIANT vValue, WORD wQuality, FILETIME ftTimeStamp)
{
    return App().tags.update(hTag, vValue, wQuality, &ftTimeStamp) ? TRUE : FALSE;
}

BOOL WINAPI QV_UpdateTagByName(LPCSTR szName, VARIANT vValue, WORD wQuality)
{
    return App().tags.updateByName(str(szName), vValue, wQuality) ? TRUE : FALSE;
}

BOOL WINAPI QV_EndUpdateCycle(void)
{
    return App().clock.hostTick() ? TRUE : FALSE;
}

BOOL WINAPI QV_SetTagProperties(DWORD hTag, DWORD dwPropertyID, LPCSTR szDescription, VARIANT vValue)
{
    return App().tags.setCustomProperty(hTag, dwPropertyID, str(szDescription), vValue) ? TRUE : FALSE;
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
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return App().tags.setLevelLimits(hTag, l) ? TRUE : FALSE;
}

BOOL WINAPI QV_ReadTag(DWORD hTag, VARIANT* pValue, WORD* pQuality, FILETIME* pTimeStamp)
{
    return App().tags.read(hTag, pValue, pQuality, pTimeStamp) ? TRUE : FALSE;
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
    return setAlarmAckRequired(hTag, bRequired != FALSE) ? TRUE : FALSE;
}

BOOL WINAPI QV_EnableAckNotification(QV_ACKNOTIFICATIONPROC pfn)
{
    App().ackNotificationProc = pfn;
    return pfn != nullptr;
}

BOOL WINAPI QV_SetTagDiscreteAlarm(DWORD hTag, VARIANT vAlarmValue, BOOL bActiveWhenEqual, DWORD dwSeverity,
                                   LPCSTR szMessage)
{
    return setDiscreteAlarm(hTag, vAlarmValue, bActiveWhenEqual != FALSE, dwSeverity, str(szMessage)) ? TRUE : FALSE;
}

BOOL WINAPI QV_SendSimpleEvent(LPCSTR szSource, LPCSTR szMessage, DWORD dwSeverity)
{
    if (!szSource || !*szSource) return FALSE;
    return sendSimpleEvent(szSource, str(szMessage), dwSeverity) ? TRUE : FALSE;
}

int WINAPI QV_GetClientCounts(void)
{
    return static_cast<int>(App().clientCount());
}

BOOL WINAPI QV_SetTraceFile(LPCSTR szPath, DWORD dwLevel)
{
    return trace::setFile(szPath, dwLevel) ? TRUE : FALSE;
}

} // extern "C"

BOOL WINAPI QV_SetTagAlarmDeadband(DWORD hTag, double dDeadband)
{
    return setAlarmDeadband(hTag, dDeadband) ? TRUE : FALSE;
}

BOOL WINAPI QV_SetEventQueueLimit(DWORD dwLimit)
{
    if (dwLimit == 0 || dwLimit > 10000000) return FALSE;
    LockGuard g(App().globalLock);
    App().eventJournal.setLimit(dwLimit);
    return TRUE;
}
