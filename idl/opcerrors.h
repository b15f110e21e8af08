/*
 * OPC result codes (DA 1.0a/2.0, A&E 1.10) with the names used by the OPC
 * standard, for C and C++. All are FACILITY_ITF codes.
 *
 * Each name is guarded on its own so that a header from elsewhere defining the
 * same code first does not clash. COM codes the OPC standard also uses
 * (CONNECT_E_*, OLE_E_NOCONNECTION, DV_E_FORMATETC, DISP_E_*) come from the
 * mingw headers (winerror.h, olectl.h) and are deliberately not repeated here.
 */
#ifndef QV_OPCERRORS_H
#define QV_OPCERRORS_H

#include <winerror.h>

/* Cast to HRESULT so that FAILED()/SUCCEEDED() and "hr < 0" behave. */
#define QV_OPC_HR(x) ((HRESULT)(x))

/* Data Access */
#ifndef OPC_E_INVALIDHANDLE
#define OPC_E_INVALIDHANDLE      QV_OPC_HR(0xC0040001L)
#endif
#ifndef OPC_E_BADTYPE
#define OPC_E_BADTYPE            QV_OPC_HR(0xC0040004L)
#endif
#ifndef OPC_E_PUBLIC
#define OPC_E_PUBLIC             QV_OPC_HR(0xC0040005L)
#endif
#ifndef OPC_E_BADRIGHTS
#define OPC_E_BADRIGHTS          QV_OPC_HR(0xC0040006L)
#endif
#ifndef OPC_E_UNKNOWNITEMID
#define OPC_E_UNKNOWNITEMID      QV_OPC_HR(0xC0040007L)
#endif
#ifndef OPC_E_INVALIDITEMID
#define OPC_E_INVALIDITEMID      QV_OPC_HR(0xC0040008L)
#endif
#ifndef OPC_E_INVALIDFILTER
#define OPC_E_INVALIDFILTER      QV_OPC_HR(0xC0040009L)
#endif
#ifndef OPC_E_UNKNOWNPATH
#define OPC_E_UNKNOWNPATH        QV_OPC_HR(0xC004000AL)
#endif
#ifndef OPC_E_RANGE
#define OPC_E_RANGE              QV_OPC_HR(0xC004000BL)
#endif
#ifndef OPC_E_DUPLICATENAME
#define OPC_E_DUPLICATENAME      QV_OPC_HR(0xC004000CL)
#endif
#ifndef OPC_S_UNSUPPORTEDRATE
#define OPC_S_UNSUPPORTEDRATE    QV_OPC_HR(0x0004000DL)
#endif
#ifndef OPC_S_CLAMP
#define OPC_S_CLAMP              QV_OPC_HR(0x0004000EL)
#endif
#ifndef OPC_S_INUSE
#define OPC_S_INUSE              QV_OPC_HR(0x0004000FL)
#endif
#ifndef OPC_E_INVALIDCONFIGFILE
#define OPC_E_INVALIDCONFIGFILE  QV_OPC_HR(0xC0040010L)
#endif
#ifndef OPC_E_NOTFOUND
#define OPC_E_NOTFOUND           QV_OPC_HR(0xC0040011L)
#endif
#ifndef OPC_E_INVALID_PID
#define OPC_E_INVALID_PID        QV_OPC_HR(0xC0040203L)
#endif

/* Data Access 3.0 */
#ifndef OPC_E_DEADBANDNOTSET
#define OPC_E_DEADBANDNOTSET           QV_OPC_HR(0xC0040400L)
#endif
#ifndef OPC_E_DEADBANDNOTSUPPORTED
#define OPC_E_DEADBANDNOTSUPPORTED     QV_OPC_HR(0xC0040401L)
#endif
#ifndef OPC_E_NOBUFFERING
#define OPC_E_NOBUFFERING              QV_OPC_HR(0xC0040402L)
#endif
#ifndef OPC_E_INVALIDCONTINUATIONPOINT
#define OPC_E_INVALIDCONTINUATIONPOINT QV_OPC_HR(0xC0040403L)
#endif
#ifndef OPC_S_DATAQUEUEOVERFLOW
#define OPC_S_DATAQUEUEOVERFLOW        QV_OPC_HR(0x00040404L)
#endif
#ifndef OPC_E_RATENOTSET
#define OPC_E_RATENOTSET               QV_OPC_HR(0xC0040405L)
#endif
#ifndef OPC_E_NOTSUPPORTED
#define OPC_E_NOTSUPPORTED             QV_OPC_HR(0xC0040406L)
#endif

/* Alarms & Events. OPC_E_INVALIDBRANCHNAME shares its value with
 * OPC_E_INVALID_PID; GetErrorString must decide by interface, not by code. */
#ifndef OPC_S_ALREADYACKED
#define OPC_S_ALREADYACKED       QV_OPC_HR(0x00040200L)
#endif
#ifndef OPC_S_INVALIDBUFFERTIME
#define OPC_S_INVALIDBUFFERTIME  QV_OPC_HR(0x00040201L)
#endif
#ifndef OPC_S_INVALIDMAXSIZE
#define OPC_S_INVALIDMAXSIZE     QV_OPC_HR(0x00040202L)
#endif
#ifndef OPC_E_INVALIDBRANCHNAME
#define OPC_E_INVALIDBRANCHNAME  QV_OPC_HR(0xC0040203L)
#endif
#ifndef OPC_E_INVALIDTIME
#define OPC_E_INVALIDTIME        QV_OPC_HR(0xC0040204L)
#endif
#ifndef OPC_E_BUSY
#define OPC_E_BUSY               QV_OPC_HR(0xC0040205L)
#endif
#ifndef OPC_E_NOINFO
#define OPC_E_NOINFO             QV_OPC_HR(0xC0040206L)
#endif

#endif /* QV_OPCERRORS_H */
