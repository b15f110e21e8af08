#include "base/ErrorText.h"
#include <cstdio>

namespace qv {

namespace {

const struct { DWORD code; const char* text; } kTable[] = {
    // The system table calls S_FALSE "Invalid function." (it is no Win32 error).
    {0x00000001, "S_FALSE"},
    {0xC0040001, "OPC_E_INVALIDHANDLE: An invalid handle was passed"},
    {0xC004000C, "OPC_E_DUPLICATENAME: A duplicate parameter was passed where one is not allowed"},
    {0xC0040004, "OPC_E_BADTYPE: The server cannot convert between the passed or requested data type and the canonical type"},
    {0xC0040005, "OPC_E_PUBLIC: The requested operation cannot be done on a public group"},
    {0xC0040006, "OPC_E_BADRIGHTS: The item's AccessRights do not allow the operation"},
    {0xC0040007, "OPC_E_UNKNOWNITEMID: The item definition does not exist within the servers address space"},
    {0xC0040008, "OPC_E_INVALIDITEMID: The item definition does not conform to the server's syntax"},
    {0xC0040009, "OPC_E_INVALIDFILTER: The filter string is not valid"},
    {0xC004000A, "OPC_E_UNKNOWNPATH: The item's access path is not known to the server"},
    {0xC004000B, "OPC_E_RANGE: The value passed to WRITE was out of range"},
    {0x0004000D, "OPC_S_UNSUPPORTEDRATE: The server does not support the requested rate, but will use the closest available"},
    {0x0004000E, "OPC_S_CLAMP: A value passed to WRITE was accepted, but was clamped"},
    {0x0004000F, "OPC_S_INUSE: The operation cannot be completed because the object still has references that exist"},
    {0xC0040010, "OPC_E_INVALIDCONFIGFILE: The server's configuration file is an invalid format"},
    {0xC0040011, "OPC_E_NOTFOUND: The server could not locate the requested object"},
    {0xC0040203, "OPC_E_INVALID_PID: The server does not recognise the passed property ID."},
    {0xC0040400, "OPC_E_DEADBANDNOTSET: The item deadband has not been set for this item"},
    {0xC0040401, "OPC_E_DEADBANDNOTSUPPORTED: The item does not support deadband"},
    {0xC0040402, "OPC_E_NOBUFFERING: The server does not support buffering of data items that are collected at a faster rate than the group update rate"},
    {0xC0040403, "OPC_E_INVALIDCONTINUATIONPOINT: The continuation point is not valid"},
    {0x00040404, "OPC_S_DATAQUEUEOVERFLOW: Not every detected change has been returned since the server's buffer reached its limit and had to purge out the oldest data"},
    {0xC0040405, "OPC_E_RATENOTSET: There is no sampling rate set for the specified item"},
    {0xC0040406, "OPC_E_NOTSUPPORTED: The server does not support writing of quality and/or timestamp"},
    {0x00040200, "OPC_S_ALREADYACKED: The condition has already been acknowledged"},
    {0x00040201, "OPC_S_INVALIDBUFFERTIME: The buffer time parameter was invalid"},
    {0x00040202, "OPC_S_INVALIDMAXSIZE: The max size parameter was invalid"},
    {0xC0040204, "OPC_E_INVALIDTIME: The time does not match the latest active time"},
    {0xC0040205, "OPC_E_BUSY: A refresh is currently in progress"},
    {0xC0040206, "OPC_E_NOINFO: Information is not available"},
    // The COM and conversion codes the server itself returns, by name: the system's message
    // table may not have them (Wine has none of the DISP_E texts).
    {0x80020005, "DISP_E_TYPEMISMATCH: The value cannot be converted to the requested type"},
    {0x8002000A, "DISP_E_OVERFLOW: The value is out of the range of the requested type"},
    {0x80020008, "DISP_E_BADVARTYPE: The variant type is not valid"},
    {0x8002000D, "DISP_E_ARRAYISLOCKED: The array is locked"},
    {0x80004005, "E_FAIL: Unspecified error"},
    {0x80070005, "E_ACCESSDENIED: Access denied"},
    {0x80070057, "E_INVALIDARG: One or more arguments are invalid"},
    {0x8000FFFF, "E_UNEXPECTED: Unexpected failure"},
    {0x80004001, "E_NOTIMPL: Not implemented"},
    {0x80004002, "E_NOINTERFACE: No such interface supported"},
    {0x80004003, "E_POINTER: Invalid pointer"},
    {0x80040200, "CONNECT_E_NOCONNECTION: There is no connection for this connection ID"},
    {0x80040201, "CONNECT_E_ADVISELIMIT: This implementation's limit for advisory connections has been reached"},
    {0x80040004, "OLE_E_NOCONNECTION: There is no connection for this connection ID"},
    {0x80040064, "DV_E_FORMATETC: Invalid FORMATETC structure"},
    {0x8007000E, "E_OUTOFMEMORY: Not enough memory to complete the operation"},
    {0x80080008, "CO_E_SERVER_STOPPING: The server is stopping"},
    {0x80040202, "CONNECT_E_CANNOTCONNECT: The sink cannot be connected"},
};

} // namespace

std::string errorText(HRESULT code)
{
    for (const auto& e : kTable)
        if (e.code == static_cast<DWORD>(code)) return e.text;
    char buf[128] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0, buf, 127, nullptr);
    // System texts end with a line break; a client's message box wants none.
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '\t')) --n;
    if (n > 0) return std::string(buf, n);
    snprintf(buf, sizeof buf, "<unknown error: 0x%08lX %ld>", static_cast<unsigned long>(code), static_cast<long>(code));
    return buf;
}

} // namespace qv
