/*
 * QvSrvKit: the host API of QvSrvKit.dll.
 *
 * A host program publishes process variables as tags and keeps them current; the library
 * makes the host process an OPC Data Access 3.0 / 2.0 / 1.0a (and minimal Alarms & Events)
 * out-of-process COM server. Every function uses the WINAPI calling convention and is
 * exported under its plain name. All strings are 8-bit; everything passed in is copied.
 */
#ifndef QVSRVKIT_H
#define QVSRVKIT_H

#include <windows.h>
#include <oleauto.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QVAPI
#define QVAPI __declspec(dllimport)
#endif

/* Returned by QV_CreateTag on failure; never a valid tag handle. */
#define QV_INVALID_HANDLE ((DWORD)0xFFFFFFFF)

/* A client wrote the tag. Leave *pResult at S_OK to let the value into the tag, or store an
 * error code to refuse it (the client receives that code). pValue belongs to the library. */
typedef void(WINAPI *QV_WRITENOTIFICATIONPROC)(DWORD hTag, VARIANT *pValue, HRESULT *pResult);
/* A client asked for a device read: fill value, quality and time stamp (UTC). What is stored
 * in *pValue (a BSTR, say) passes to the client. */
typedef void(WINAPI *QV_DEVICEREADPROC)(DWORD hTag, VARIANT *pValue, WORD *pQuality, FILETIME *pTimeStamp);
/* A client wrote value, quality and/or time stamp (OPC DA 3.0 WriteVQT). pQuality and
 * pTimeStamp are NULL where the client did not specify them. Leave *pResult at S_OK to let
 * them into the tag (what is left in *pValue is stored), or store an error code to refuse. */
typedef void(WINAPI *QV_WRITEVQTNOTIFICATIONPROC)(DWORD hTag, VARIANT *pValue, const WORD *pQuality,
                                                  const FILETIME *pTimeStamp, HRESULT *pResult);
/* A client disconnected; dwClientCount clients remain. */
typedef void(WINAPI *QV_DISCONNECTNOTIFICATIONPROC)(DWORD dwClientCount);

/* Descriptive data reported by IOPCServer::GetStatus. */
QVAPI void WINAPI QV_SetVendorInfo(LPCSTR szVendorInfo);
QVAPI void WINAPI QV_SetMajorVersion(WORD wMajor);
QVAPI void WINAPI QV_SetMinorVersion(WORD wMinor);
QVAPI void WINAPI QV_SetBuildNumber(WORD wBuild);
QVAPI void WINAPI QV_SetBandWidth(DWORD dwBandWidth);
QVAPI void WINAPI QV_SetServerState(DWORD dwServerState);
/* Non-zero (the default): tag names compare byte for byte; zero: without regard to ASCII case.
 * Returns the flag given. */
QVAPI BOOL WINAPI QV_SetMatchCase(BOOL bMatchCase);
/* Asynchronous requests a group may hold queued (default 10); a request beyond it fails with
 * E_FAIL. 0: no limit but memory. Applies to requests made afterwards. */
QVAPI void WINAPI QV_SetAsyncQueueLimit(DWORD dwLimit);

/* Registration of the host executable as a local OPC DA server (under HKEY_CLASSES_ROOT). */
QVAPI BOOL WINAPI QV_Registry(const CLSID *pClsid, LPCSTR szProgID, LPCSTR szDescription, LPCSTR szServerPath);
QVAPI BOOL WINAPI QV_RegistryS(LPCSTR szClsid, LPCSTR szProgID, LPCSTR szDescription, LPCSTR szServerPath);
QVAPI BOOL WINAPI QV_Unregister(const CLSID *pClsid, LPCSTR szProgID);
QVAPI BOOL WINAPI QV_UnregisterS(LPCSTR szClsid, LPCSTR szProgID);
QVAPI BOOL WINAPI QV_AsNTService(LPCSTR szServiceName);

/* Start and stop the COM server; call both on the same thread. Period in ms: 0 means 500,
 * below 10 means 10. */
QVAPI BOOL WINAPI QV_InitOpcServer(const CLSID *pClsid, DWORD dwUpdatePeriod);
QVAPI BOOL WINAPI QV_InitOpcServerS(LPCSTR szClsid, DWORD dwUpdatePeriod);
QVAPI BOOL WINAPI QV_UnInitOpcServer(void);

/* Tags. Names are item IDs with '.' between branch names. */
QVAPI DWORD WINAPI QV_CreateTag(LPCSTR szName, VARIANT vValue, WORD wQuality, BOOL bWriteable);
QVAPI BOOL WINAPI QV_RemoveTag(DWORD hTag);
QVAPI BOOL WINAPI QV_UpdateTag(DWORD hTag, VARIANT vValue, WORD wQuality);
QVAPI BOOL WINAPI QV_UpdateTagWithTimeStamp(DWORD hTag, VARIANT vValue, WORD wQuality, FILETIME ftTimeStamp);
QVAPI BOOL WINAPI QV_UpdateTagByName(LPCSTR szName, VARIANT vValue, WORD wQuality);
/* Ends one cycle of the host's updates: the server's update tick runs now, so what changed in
 * this cycle goes to the clients at once instead of at the next tick of the server's own timer.
 * A host that calls it once per update period puts the server on its own clock; the server's
 * timer stands aside while such calls keep coming (one at least every 1.5 periods) and takes
 * over again when they stop. FALSE, and nothing done, when the last tick is less than half a
 * period old (group rates never run more than twice as fast), when the server is not running,
 * or when it runs on the host's single-threaded apartment (its timer serves the clients on that
 * thread). Any thread; never waits for a client. */
QVAPI BOOL WINAPI QV_EndUpdateCycle(void);
/* Custom item property; ids 1 to 6 are the standard properties and cannot be set. */
QVAPI BOOL WINAPI QV_SetTagProperties(DWORD hTag, DWORD dwPropertyID, LPCSTR szDescription, VARIANT vValue);
/* Level limits for the alarm events of the tag (all disabled until set): for each of
 * low-low, low, high, high-high the limit, whether it is enabled, and the event severity.
 * FALSE for a bad handle. */
QVAPI BOOL WINAPI QV_SetTagLevelLimits(DWORD hTag,
                                       float fLowLow, BOOL bLowLowEnabled, DWORD dwLowLowSeverity,
                                       float fLow, BOOL bLowEnabled, DWORD dwLowSeverity,
                                       float fHigh, BOOL bHighEnabled, DWORD dwHighSeverity,
                                       float fHighHigh, BOOL bHighHighEnabled, DWORD dwHighHighSeverity);
/* Copies a tag's current value (VariantClear it), quality and time stamp; any output may be
 * NULL. FALSE for a bad handle. QV_ReadTagWithTimeStamp is the same entry. */
QVAPI BOOL WINAPI QV_ReadTag(DWORD hTag, VARIANT *pValue, WORD *pQuality, FILETIME *pTimeStamp);
QVAPI BOOL WINAPI QV_ReadTagWithTimeStamp(DWORD hTag, VARIANT *pValue, WORD *pQuality, FILETIME *pTimeStamp);

/* Host callbacks; NULL removes one. TRUE when a callback was installed. Callbacks may come
 * from several threads at once. */
QVAPI BOOL WINAPI QV_EnableWriteNotification(QV_WRITENOTIFICATIONPROC pfn);
QVAPI BOOL WINAPI QV_EnableDeviceRead(QV_DEVICEREADPROC pfn);
QVAPI BOOL WINAPI QV_EnableDisconnectNotification(QV_DISCONNECTNOTIFICATIONPROC pfn);
/* Writes that specify quality or time stamp go here; without it they fail for the item with
 * OPC_E_NOTSUPPORTED. A write of a value alone always goes to the write notification. */
QVAPI BOOL WINAPI QV_EnableWriteVQTNotification(QV_WRITEVQTNOTIFICATIONPROC pfn);

/* Alarms and events beyond the level limits. None of these waits for a client: they change
 * state and queue events, which each client's worker delivers.
 * An operator acknowledged a condition of the tag (szConditionName "Level Alarm" or "Discrete
 * Alarm"). Called on the COM thread of the client's AckCondition, without any library lock. */
typedef void(WINAPI *QV_ACKNOTIFICATIONPROC)(DWORD hTag, LPCSTR szConditionName, LPCSTR szAcknowledgerID,
                                             LPCSTR szComment);
/* Whether the tag's alarms need acknowledgement (default FALSE). When TRUE, every activation
 * and every change of active sub-condition waits for an operator's AckCondition, and a
 * condition that returned to normal stays reported until acknowledged. FALSE for a bad handle. */
QVAPI BOOL WINAPI QV_SetTagAlarmAckRequired(DWORD hTag, BOOL bRequired);
QVAPI BOOL WINAPI QV_EnableAckNotification(QV_ACKNOTIFICATIONPROC pfn);
/* A discrete alarm on the tag ("Discrete Alarm", category 3): active while the tag's value
 * equals vAlarmValue (bActiveWhenEqual) or differs from it; severity 1 to 1000; szMessage is
 * the alarm text. Evaluated now and on every QV_UpdateTag / QV_UpdateTagWithTimeStamp. A
 * VT_EMPTY value removes it. FALSE for a bad handle, severity or value. */
QVAPI BOOL WINAPI QV_SetTagDiscreteAlarm(DWORD hTag, VARIANT vAlarmValue, BOOL bActiveWhenEqual, DWORD dwSeverity,
                                         LPCSTR szMessage);
/* A simple event ("System Message", category 1) from szSource with szMessage, severity 1 to
 * 1000, to every subscription. Any thread, any time. */
QVAPI BOOL WINAPI QV_SendSimpleEvent(LPCSTR szSource, LPCSTR szMessage, DWORD dwSeverity);

/* Number of connected clients. */
QVAPI int WINAPI QV_GetClientCounts(void);

/* Diagnostic trace (off by default). Lines are appended to szPath by a library thread, so no
 * traced call waits for the file; at 4 MB the file is renamed to szPath.1 (replacing it) and
 * a new one begins. A NULL or empty path, or level QV_TRACE_OFF, stops the trace after the
 * queued lines are written (do so before the host exits). FALSE when the file cannot be
 * opened for appending. May be called from any thread, at any time. */
#define QV_TRACE_OFF 0
#define QV_TRACE_ERRORS 1      /* failed client calls and server errors */
#define QV_TRACE_CONNECTIONS 2 /* and clients connecting, naming themselves and leaving */
#define QV_TRACE_CALLS 3       /* and every client call: method, item count, result and its text */
QVAPI BOOL WINAPI QV_SetTraceFile(LPCSTR szPath, DWORD dwLevel);

#ifdef __cplusplus
}
#endif

#endif /* QVSRVKIT_H */
