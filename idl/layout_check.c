/*
 * Compile-time check that our IDL yields the record layouts of the OPC
 * standard. Clients compiled against the standard's headers read these records
 * straight from memory (DA 1.0 IDataObject streams) or unmarshal them into
 * their own definitions, so a single shifted member breaks interoperability.
 *
 * The 32-bit figures are those measured for the OPC standard's records with
 * i686-w64-mingw32-gcc. The 64-bit ones follow from natural alignment
 * (pointers 8, VARIANT 24 aligned 8, FILETIME 4) and guard against packing
 * accidents. Built as C into qv_idl and also as C++ (see CMakeLists.txt), which
 * proves the generated headers compile in both languages.
 */
#include <assert.h>
#include <stddef.h>
#include "qvopc.h"

#define AT(type, member, off) static_assert(offsetof(type, member) == (off), #type "." #member)
#define SIZE(type, n) static_assert(sizeof(type) == (n), "sizeof(" #type ")")

/* Enums travel as 16-bit on the wire but are 4 bytes in memory. */
SIZE(OPCSERVERSTATE, 4);
SIZE(OPCEUTYPE, 4);
SIZE(OPCEVENTSERVERSTATE, 4);
SIZE(OPCHANDLE, 4);

/* DA 1.0 stream headers: identical on every platform. */
AT(OPCGROUPHEADER, dwSize, 0);
AT(OPCGROUPHEADER, dwItemCount, 4);
AT(OPCGROUPHEADER, hClientGroup, 8);
AT(OPCGROUPHEADER, dwTransactionID, 12);
AT(OPCGROUPHEADER, hrStatus, 16);
SIZE(OPCGROUPHEADER, 20);

AT(OPCITEMHEADER1, hClient, 0);
AT(OPCITEMHEADER1, dwValueOffset, 4);
AT(OPCITEMHEADER1, wQuality, 8);
AT(OPCITEMHEADER1, wReserved, 10);
AT(OPCITEMHEADER1, ftTimeStampItem, 12);
SIZE(OPCITEMHEADER1, 20);

AT(OPCITEMHEADER2, hClient, 0);
AT(OPCITEMHEADER2, dwValueOffset, 4);
AT(OPCITEMHEADER2, wQuality, 8);
AT(OPCITEMHEADER2, wReserved, 10);
SIZE(OPCITEMHEADER2, 12);

AT(OPCGROUPHEADERWRITE, dwItemCount, 0);
AT(OPCGROUPHEADERWRITE, hClientGroup, 4);
AT(OPCGROUPHEADERWRITE, dwTransactionID, 8);
AT(OPCGROUPHEADERWRITE, hrStatus, 12);
SIZE(OPCGROUPHEADERWRITE, 16);

AT(OPCITEMHEADERWRITE, hClient, 0);
AT(OPCITEMHEADERWRITE, dwError, 4);
SIZE(OPCITEMHEADERWRITE, 8);

/* Members before the first pointer or VARIANT: identical on every platform. */
AT(OPCITEMSTATE, hClient, 0);
AT(OPCITEMSTATE, ftTimeStamp, 4);
AT(OPCITEMSTATE, wQuality, 12);
AT(OPCITEMSTATE, wReserved, 14);
AT(OPCITEMSTATE, vDataValue, 16);

AT(OPCSERVERSTATUS, ftStartTime, 0);
AT(OPCSERVERSTATUS, ftCurrentTime, 8);
AT(OPCSERVERSTATUS, ftLastUpdateTime, 16);
AT(OPCSERVERSTATUS, dwServerState, 24);
AT(OPCSERVERSTATUS, dwGroupCount, 28);
AT(OPCSERVERSTATUS, dwBandWidth, 32);
AT(OPCSERVERSTATUS, wMajorVersion, 36);
AT(OPCSERVERSTATUS, wMinorVersion, 38);
AT(OPCSERVERSTATUS, wBuildNumber, 40);
AT(OPCSERVERSTATUS, wReserved, 42);

AT(OPCITEMRESULT, hServer, 0);
AT(OPCITEMRESULT, vtCanonicalDataType, 4);
AT(OPCITEMRESULT, wReserved, 6);
AT(OPCITEMRESULT, dwAccessRights, 8);
AT(OPCITEMRESULT, dwBlobSize, 12);

AT(OPCEVENTSERVERSTATUS, ftStartTime, 0);
AT(OPCEVENTSERVERSTATUS, ftCurrentTime, 8);
AT(OPCEVENTSERVERSTATUS, ftLastUpdateTime, 16);
AT(OPCEVENTSERVERSTATUS, dwServerState, 24);
AT(OPCEVENTSERVERSTATUS, wMajorVersion, 28);
AT(OPCEVENTSERVERSTATUS, wMinorVersion, 30);
AT(OPCEVENTSERVERSTATUS, wBuildNumber, 32);
AT(OPCEVENTSERVERSTATUS, wReserved, 34);

AT(ONEVENTSTRUCT, wChangeMask, 0);
AT(ONEVENTSTRUCT, wNewState, 2);

/* DA 3.0 records: members before the first pointer or VARIANT. */
SIZE(OPCBROWSEFILTER, 4);
AT(OPCITEMPROPERTY, vtDataType, 0);
AT(OPCITEMPROPERTY, wReserved, 2);
AT(OPCITEMPROPERTY, dwPropertyID, 4);
AT(OPCITEMPROPERTY, szItemID, 8);
AT(OPCITEMPROPERTIES, hrErrorID, 0);
AT(OPCITEMPROPERTIES, dwNumProperties, 4);
AT(OPCITEMPROPERTIES, pItemProperties, 8);
AT(OPCBROWSEELEMENT, szName, 0);
AT(OPCITEMVQT, vDataValue, 0);

#if !defined(_WIN64)

AT(OPCITEMPROPERTY, szDescription, 12);
AT(OPCITEMPROPERTY, vValue, 16);
AT(OPCITEMPROPERTY, hrErrorID, 32);
AT(OPCITEMPROPERTY, dwReserved, 36);
SIZE(OPCITEMPROPERTY, 40);
AT(OPCITEMPROPERTIES, dwReserved, 12);
SIZE(OPCITEMPROPERTIES, 16);
AT(OPCBROWSEELEMENT, szItemID, 4);
AT(OPCBROWSEELEMENT, dwFlagValue, 8);
AT(OPCBROWSEELEMENT, dwReserved, 12);
AT(OPCBROWSEELEMENT, ItemProperties, 16);
SIZE(OPCBROWSEELEMENT, 32);
AT(OPCITEMVQT, bQualitySpecified, 16);
AT(OPCITEMVQT, wQuality, 20);
AT(OPCITEMVQT, wReserved, 22);
AT(OPCITEMVQT, bTimeStampSpecified, 24);
AT(OPCITEMVQT, dwReserved, 28);
AT(OPCITEMVQT, ftTimeStamp, 32);
SIZE(OPCITEMVQT, 40);

SIZE(OPCITEMSTATE, 32);

AT(OPCSERVERSTATUS, szVendorInfo, 44);
SIZE(OPCSERVERSTATUS, 48);

AT(OPCITEMDEF, szAccessPath, 0);
AT(OPCITEMDEF, szItemID, 4);
AT(OPCITEMDEF, bActive, 8);
AT(OPCITEMDEF, hClient, 12);
AT(OPCITEMDEF, dwBlobSize, 16);
AT(OPCITEMDEF, pBlob, 20);
AT(OPCITEMDEF, vtRequestedDataType, 24);
AT(OPCITEMDEF, wReserved, 26);
SIZE(OPCITEMDEF, 28);

AT(OPCITEMRESULT, pBlob, 16);
SIZE(OPCITEMRESULT, 20);

AT(OPCITEMATTRIBUTES, szAccessPath, 0);
AT(OPCITEMATTRIBUTES, szItemID, 4);
AT(OPCITEMATTRIBUTES, bActive, 8);
AT(OPCITEMATTRIBUTES, hClient, 12);
AT(OPCITEMATTRIBUTES, hServer, 16);
AT(OPCITEMATTRIBUTES, dwAccessRights, 20);
AT(OPCITEMATTRIBUTES, dwBlobSize, 24);
AT(OPCITEMATTRIBUTES, pBlob, 28);
AT(OPCITEMATTRIBUTES, vtRequestedDataType, 32);
AT(OPCITEMATTRIBUTES, vtCanonicalDataType, 34);
AT(OPCITEMATTRIBUTES, dwEUType, 36);
AT(OPCITEMATTRIBUTES, vEUInfo, 40);
SIZE(OPCITEMATTRIBUTES, 56);

AT(ONEVENTSTRUCT, szSource, 4);
AT(ONEVENTSTRUCT, ftTime, 8);
AT(ONEVENTSTRUCT, szMessage, 16);
AT(ONEVENTSTRUCT, dwEventType, 20);
AT(ONEVENTSTRUCT, dwEventCategory, 24);
AT(ONEVENTSTRUCT, dwSeverity, 28);
AT(ONEVENTSTRUCT, szConditionName, 32);
AT(ONEVENTSTRUCT, szSubconditionName, 36);
AT(ONEVENTSTRUCT, wQuality, 40);
AT(ONEVENTSTRUCT, wReserved, 42);
AT(ONEVENTSTRUCT, bAckRequired, 44);
AT(ONEVENTSTRUCT, ftActiveTime, 48);
AT(ONEVENTSTRUCT, dwCookie, 56);
AT(ONEVENTSTRUCT, dwNumEventAttrs, 60);
AT(ONEVENTSTRUCT, pEventAttributes, 64);
AT(ONEVENTSTRUCT, szActorID, 68);
SIZE(ONEVENTSTRUCT, 72);

AT(OPCEVENTSERVERSTATUS, szVendorInfo, 36);
SIZE(OPCEVENTSERVERSTATUS, 40);

/* Not in the measured table: natural 32-bit layout of the standard's members. */
AT(OPCCONDITIONSTATE, szActiveSubCondition, 4);
AT(OPCCONDITIONSTATE, ftLastAckTime, 24);
AT(OPCCONDITIONSTATE, szAcknowledgerID, 56);
AT(OPCCONDITIONSTATE, dwNumSCs, 64);
AT(OPCCONDITIONSTATE, pErrors, 92);
SIZE(OPCCONDITIONSTATE, 96);

#else /* _WIN64 */

SIZE(OPCITEMSTATE, 40);
AT(OPCSERVERSTATUS, szVendorInfo, 48);
SIZE(OPCSERVERSTATUS, 56);
AT(OPCITEMDEF, bActive, 16);
AT(OPCITEMDEF, pBlob, 32);
AT(OPCITEMDEF, vtRequestedDataType, 40);
SIZE(OPCITEMDEF, 48);
AT(OPCITEMRESULT, pBlob, 16);
SIZE(OPCITEMRESULT, 24);
AT(OPCITEMATTRIBUTES, pBlob, 40);
AT(OPCITEMATTRIBUTES, dwEUType, 52);
AT(OPCITEMATTRIBUTES, vEUInfo, 56);
SIZE(OPCITEMATTRIBUTES, 80);
AT(ONEVENTSTRUCT, szSource, 8);
AT(ONEVENTSTRUCT, ftActiveTime, 72);
AT(ONEVENTSTRUCT, szActorID, 96);
SIZE(ONEVENTSTRUCT, 104);
AT(OPCEVENTSERVERSTATUS, szVendorInfo, 40);
SIZE(OPCEVENTSERVERSTATUS, 48);
AT(OPCITEMPROPERTY, szDescription, 16);
AT(OPCITEMPROPERTY, vValue, 24);
AT(OPCITEMPROPERTY, hrErrorID, 48);
SIZE(OPCITEMPROPERTY, 56);
AT(OPCITEMPROPERTIES, dwReserved, 16);
SIZE(OPCITEMPROPERTIES, 24);
AT(OPCBROWSEELEMENT, dwFlagValue, 16);
AT(OPCBROWSEELEMENT, ItemProperties, 24);
SIZE(OPCBROWSEELEMENT, 48);
AT(OPCITEMVQT, bQualitySpecified, 24);
AT(OPCITEMVQT, bTimeStampSpecified, 32);
AT(OPCITEMVQT, ftTimeStamp, 40);
SIZE(OPCITEMVQT, 48);

#endif

/* E_ codes must test negative without FAILED()'s cast, S_ codes positive. */
static_assert(OPC_E_INVALIDHANDLE < 0 && OPC_E_NOTFOUND < 0 && OPC_E_INVALID_PID < 0,
              "OPC_E_* must be negative HRESULTs");
static_assert(OPC_E_INVALIDBRANCHNAME < 0 && OPC_E_NOINFO < 0, "A&E OPC_E_* negative");
static_assert(OPC_S_CLAMP > 0 && OPC_S_UNSUPPORTEDRATE > 0 && OPC_S_ALREADYACKED > 0,
              "OPC_S_* must be success codes other than S_OK");
