#pragma once
#include <windows.h>

namespace qv {

// Writes and removes the registry entries (under HKEY_CLASSES_ROOT) that make the host
// executable a local OPC DA server; optionally one that COM starts as an NT service.
bool registerServer(const CLSID& clsid, const char* progId, const char* description, const char* serverPath);
bool unregisterServer(const CLSID& clsid, const char* progId);
bool registerAsService(const CLSID& clsid, const char* serviceName);

} // namespace qv
