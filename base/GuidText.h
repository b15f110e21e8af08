#pragma once
#include <windows.h>

namespace qv {

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; false when the text does not match.
bool parseGuidText(const char* text, CLSID* out);
// Lower-case GUID text with braces, 38 characters.
void formatGuidText(const CLSID& clsid, char out[39]);

} // namespace qv
