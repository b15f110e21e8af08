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

/* --- OPC codes a host returns or meets ------------------------------------------------------
 * Result codes (FACILITY_ITF), quality words and access rights under the names of the OPC
 * standard. Each is an enumerator guarded by its own name: a header that defined the name
 * first (the standard's opcerror.h or opcda.h, or the project's idl/opcerrors.h) wins, and one
 * included afterwards defines its macro over it without a clash. Same values either way. */
#define QV_OPC_CODE(x) ((HRESULT)(x))
/* Data Access. A write callback refuses a value with, for example, OPC_E_RANGE (out of range)
 * or OPC_E_BADTYPE (cannot take it); to clamp, change *pValue and leave S_OK (or store
 * OPC_S_CLAMP, which the client then receives). The others reach clients from the library. */
#ifndef OPC_E_INVALIDHANDLE
enum { OPC_E_INVALIDHANDLE = QV_OPC_CODE(0xC0040001L) };
#endif
#ifndef OPC_E_BADTYPE
enum { OPC_E_BADTYPE = QV_OPC_CODE(0xC0040004L) };
#endif
#ifndef OPC_E_PUBLIC
enum { OPC_E_PUBLIC = QV_OPC_CODE(0xC0040005L) };
#endif
#ifndef OPC_E_BADRIGHTS
enum { OPC_E_BADRIGHTS = QV_OPC_CODE(0xC0040006L) };
#endif
#ifndef OPC_E_UNKNOWNITEMID
enum { OPC_E_UNKNOWNITEMID = QV_OPC_CODE(0xC0040007L) };
#endif
#ifndef OPC_E_INVALIDITEMID
enum { OPC_E_INVALIDITEMID = QV_OPC_CODE(0xC0040008L) };
#endif
#ifndef OPC_E_INVALIDFILTER
enum { OPC_E_INVALIDFILTER = QV_OPC_CODE(0xC0040009L) };
#endif
#ifndef OPC_E_UNKNOWNPATH
enum { OPC_E_UNKNOWNPATH = QV_OPC_CODE(0xC004000AL) };
#endif
#ifndef OPC_E_RANGE
enum { OPC_E_RANGE = QV_OPC_CODE(0xC004000BL) };
#endif
#ifndef OPC_E_DUPLICATENAME
enum { OPC_E_DUPLICATENAME = QV_OPC_CODE(0xC004000CL) };
#endif
#ifndef OPC_S_UNSUPPORTEDRATE
enum { OPC_S_UNSUPPORTEDRATE = QV_OPC_CODE(0x0004000DL) };
#endif
#ifndef OPC_S_CLAMP
enum { OPC_S_CLAMP = QV_OPC_CODE(0x0004000EL) };
#endif
#ifndef OPC_S_INUSE
enum { OPC_S_INUSE = QV_OPC_CODE(0x0004000FL) };
#endif
#ifndef OPC_E_INVALIDCONFIGFILE
enum { OPC_E_INVALIDCONFIGFILE = QV_OPC_CODE(0xC0040010L) };
#endif
#ifndef OPC_E_NOTFOUND
enum { OPC_E_NOTFOUND = QV_OPC_CODE(0xC0040011L) };
#endif
#ifndef OPC_E_INVALID_PID
enum { OPC_E_INVALID_PID = QV_OPC_CODE(0xC0040203L) };
#endif
/* Data Access 3.0 */
#ifndef OPC_E_DEADBANDNOTSET
enum { OPC_E_DEADBANDNOTSET = QV_OPC_CODE(0xC0040400L) };
#endif
#ifndef OPC_E_DEADBANDNOTSUPPORTED
enum { OPC_E_DEADBANDNOTSUPPORTED = QV_OPC_CODE(0xC0040401L) };
#endif
#ifndef OPC_E_NOBUFFERING
enum { OPC_E_NOBUFFERING = QV_OPC_CODE(0xC0040402L) };
#endif
#ifndef OPC_E_INVALIDCONTINUATIONPOINT
enum { OPC_E_INVALIDCONTINUATIONPOINT = QV_OPC_CODE(0xC0040403L) };
#endif
#ifndef OPC_S_DATAQUEUEOVERFLOW
enum { OPC_S_DATAQUEUEOVERFLOW = QV_OPC_CODE(0x00040404L) };
#endif
#ifndef OPC_E_RATENOTSET
enum { OPC_E_RATENOTSET = QV_OPC_CODE(0xC0040405L) };
#endif
#ifndef OPC_E_NOTSUPPORTED
enum { OPC_E_NOTSUPPORTED = QV_OPC_CODE(0xC0040406L) };
#endif
/* Alarms and Events (OPC_E_INVALIDBRANCHNAME has the value of OPC_E_INVALID_PID) */
#ifndef OPC_S_ALREADYACKED
enum { OPC_S_ALREADYACKED = QV_OPC_CODE(0x00040200L) };
#endif
#ifndef OPC_S_INVALIDBUFFERTIME
enum { OPC_S_INVALIDBUFFERTIME = QV_OPC_CODE(0x00040201L) };
#endif
#ifndef OPC_S_INVALIDMAXSIZE
enum { OPC_S_INVALIDMAXSIZE = QV_OPC_CODE(0x00040202L) };
#endif
#ifndef OPC_E_INVALIDBRANCHNAME
enum { OPC_E_INVALIDBRANCHNAME = QV_OPC_CODE(0xC0040203L) };
#endif
#ifndef OPC_E_INVALIDTIME
enum { OPC_E_INVALIDTIME = QV_OPC_CODE(0xC0040204L) };
#endif
#ifndef OPC_E_BUSY
enum { OPC_E_BUSY = QV_OPC_CODE(0xC0040205L) };
#endif
#ifndef OPC_E_NOINFO
enum { OPC_E_NOINFO = QV_OPC_CODE(0xC0040206L) };
#endif

/* Quality word QQSSSSLL: quality (OPC_QUALITY_MASK), sub-status (with the quality:
 * OPC_STATUS_MASK) and limit (OPC_LIMIT_MASK). */
#ifndef OPC_QUALITY_MASK
enum { OPC_QUALITY_MASK = 0xC0 };
#endif
#ifndef OPC_STATUS_MASK
enum { OPC_STATUS_MASK = 0xFC };
#endif
#ifndef OPC_LIMIT_MASK
enum { OPC_LIMIT_MASK = 0x03 };
#endif
#ifndef OPC_QUALITY_BAD
enum { OPC_QUALITY_BAD = 0x00 };
#endif
#ifndef OPC_QUALITY_UNCERTAIN
enum { OPC_QUALITY_UNCERTAIN = 0x40 };
#endif
#ifndef OPC_QUALITY_GOOD
enum { OPC_QUALITY_GOOD = 0xC0 };
#endif
#ifndef OPC_QUALITY_CONFIG_ERROR
enum { OPC_QUALITY_CONFIG_ERROR = 0x04 };
#endif
#ifndef OPC_QUALITY_NOT_CONNECTED
enum { OPC_QUALITY_NOT_CONNECTED = 0x08 };
#endif
#ifndef OPC_QUALITY_DEVICE_FAILURE
enum { OPC_QUALITY_DEVICE_FAILURE = 0x0C };
#endif
#ifndef OPC_QUALITY_SENSOR_FAILURE
enum { OPC_QUALITY_SENSOR_FAILURE = 0x10 };
#endif
#ifndef OPC_QUALITY_LAST_KNOWN
enum { OPC_QUALITY_LAST_KNOWN = 0x14 };
#endif
#ifndef OPC_QUALITY_COMM_FAILURE
enum { OPC_QUALITY_COMM_FAILURE = 0x18 };
#endif
#ifndef OPC_QUALITY_OUT_OF_SERVICE
enum { OPC_QUALITY_OUT_OF_SERVICE = 0x1C };
#endif
#ifndef OPC_QUALITY_WAITING_FOR_INITIAL_DATA
enum { OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20 };
#endif
#ifndef OPC_QUALITY_LAST_USABLE
enum { OPC_QUALITY_LAST_USABLE = 0x44 };
#endif
#ifndef OPC_QUALITY_SENSOR_CAL
enum { OPC_QUALITY_SENSOR_CAL = 0x50 };
#endif
#ifndef OPC_QUALITY_EGU_EXCEEDED
enum { OPC_QUALITY_EGU_EXCEEDED = 0x54 };
#endif
#ifndef OPC_QUALITY_SUB_NORMAL
enum { OPC_QUALITY_SUB_NORMAL = 0x58 };
#endif
#ifndef OPC_QUALITY_LOCAL_OVERRIDE
enum { OPC_QUALITY_LOCAL_OVERRIDE = 0xD8 };
#endif
#ifndef OPC_LIMIT_OK
enum { OPC_LIMIT_OK = 0x00 };
#endif
#ifndef OPC_LIMIT_LOW
enum { OPC_LIMIT_LOW = 0x01 };
#endif
#ifndef OPC_LIMIT_HIGH
enum { OPC_LIMIT_HIGH = 0x02 };
#endif
#ifndef OPC_LIMIT_CONST
enum { OPC_LIMIT_CONST = 0x03 };
#endif

/* Access rights of an item (a tag created writeable has both). */
#ifndef OPC_READABLE
enum { OPC_READABLE = 0x1 };
#endif
#ifndef OPC_WRITEABLE
enum { OPC_WRITEABLE = 0x2 };
#endif
/* --- end of the OPC codes ------------------------------------------------------------------ */

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
/* The vendor's name that QV_Registry writes under <ProgID>\OPC\Vendor, for a host whose vendor
 * text is a description rather than a name. Without it the vendor text set with
 * QV_SetVendorInfo is written; with neither, the toolkit maker's name. Call before QV_Registry. */
QVAPI void WINAPI QV_SetVendorName(LPCSTR szVendorName);
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
/* Zero (the default): clients hear of an item when its value or quality differs from what they
 * last received; an update that repeats both is no change. Non-zero: every update of a tag is
 * reported, repeats included (a heartbeat). Takes effect with the next update. Returns the
 * previous setting. */
QVAPI BOOL WINAPI QV_SetReportEveryUpdate(BOOL bEveryUpdate);

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
 * FALSE for a bad handle, and (the reason in the trace, GetLastError ERROR_INVALID_PARAMETER)
 * for enabled limits out of order (LoLo <= Lo <= Hi <= HiHi) or an enabled severity outside
 * 1 to 1000. */
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

/* An audit trail of client writes. Called once for every item a client writes, accepted or
 * refused (by you, or before it reached you: rights, type, unknown item), after the write
 * notification decided and without any library lock; on the thread that made the write (a
 * client's COM thread, its worker for asynchronous writes, or on a single-threaded host your
 * thread). Everything pointed to is valid during the call only.
 * The write notifications above are unchanged; this one only reports. */
typedef struct QV_WRITEAUDIT {
    DWORD cbSize;                /* sizeof(QV_WRITEAUDIT); later versions only add at the end */
    DWORD hTag;                  /* the tag; QV_INVALID_HANDLE when the item names none */
    LPCSTR szItemID;             /* the tag's name, or what the client named ("" when unknown) */
    const VARIANT *pValue;       /* the client's value (accepted: in the tag's type, as your write
                                    notification got it); NULL when it held an object */
    const VARIANT *pStoredValue; /* what the tag took (after a clamp); NULL when refused */
    const WORD *pQuality;        /* quality written with it (DA 3.0), or NULL */
    const FILETIME *pTimeStamp;  /* time stamp written with it (DA 3.0), or NULL */
    HRESULT hrResult;            /* what the client receives for the item: S_OK, OPC_S_CLAMP, an error */
    FILETIME ftTime;             /* UTC: when the write was decided */
    DWORD dwClientNumber;        /* the client's number in the trace ("client 3") */
    LPCSTR szClientName;         /* IOPCCommon::SetClientName, "" when the client set none */
    DWORD dwClientProcessId;     /* the client's process (a local client), 0 when unknown */
    LPCSTR szClientAccount;      /* DOMAIN\user of the caller when COM tells it, else of the client's
                                    process (a local client), else "" (see the guide) */
} QV_WRITEAUDIT;
typedef void(WINAPI *QV_WRITEAUDITPROC)(const QV_WRITEAUDIT *pAudit);
QVAPI BOOL WINAPI QV_EnableWriteAuditNotification(QV_WRITEAUDITPROC pfn);

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
/* Alarm deadband of the tag's level alarm (default 0): an active level stays active until
 * the value is back inside its limit by this much (below Hi - deadband, above Lo + deadband).
 * FALSE for a bad handle or a negative or non-numeric deadband. */
QVAPI BOOL WINAPI QV_SetTagAlarmDeadband(DWORD hTag, double dDeadband);
/* Events one event subscription may have waiting for its client (default 10,000; 1 to
 * 10,000,000). Past it the oldest go, and the subscription's next call starts with a simple
 * event from the source "Server" (category 1) saying how many went. FALSE when out of range. */
QVAPI BOOL WINAPI QV_SetEventQueueLimit(DWORD dwLimit);

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
#define QV_TRACE_CALLS 3       /* and every client call of every interface: method, item count, result, its text */
#define QV_TRACE_ITEMS 4       /* and each per-item result that is not S_OK: item ID, code, its text */
/* Every line begins with its time in UTC, 2024-05-02T10:14:07.512Z; add this flag to the level
 * (QV_TRACE_CALLS | QV_TRACE_LOCAL_TIME) for local time with its offset, 2024-05-02T12:14:07.512+02:00. */
#define QV_TRACE_LOCAL_TIME 0x100
QVAPI BOOL WINAPI QV_SetTraceFile(LPCSTR szPath, DWORD dwLevel);

#ifdef __cplusplus
}
#endif

#endif /* QVSRVKIT_H */
