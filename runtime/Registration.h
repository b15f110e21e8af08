#pragma once
#include <windows.h>

namespace qv {

// Writes and removes the registry entries (under HKEY_CLASSES_ROOT) that make the host
// executable a local OPC DA server; optionally one that COM starts as an NT service. An empty
// or null vendor writes the toolkit maker's name under <ProgID>\OPC\Vendor.
bool registerServer(const CLSID& clsid, const char* progId, const char* description, const char* serverPath,
                    const char* vendor = nullptr);
bool unregisterServer(const CLSID& clsid, const char* progId);
bool registerAsService(const CLSID& clsid, const char* serviceName);

} // namespace qv
