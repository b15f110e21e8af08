#pragma once
#include <windows.h>
#include <string>

namespace qv {

// Text for an OPC or system result code (at most 127 characters): the fixed OPC table, then
// the system message table, then "<unknown error: 0x%08X %d>". Shared by both GetErrorString.
std::string errorText(HRESULT code);

} // namespace qv
