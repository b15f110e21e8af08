#include "base/GuidText.h"
#include <cstdio>

namespace qv {

bool parseGuidText(const char* text, CLSID* out)
{
    *out = CLSID_NULL;
    if (!text) return false;
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    char tail = 0;
    int n = sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                   &b[4], &b[5], &b[6], &b[7], &tail);
    if (n < 11) return false;
    out->Data1 = d1;
    out->Data2 = static_cast<WORD>(d2);
    out->Data3 = static_cast<WORD>(d3);
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<BYTE>(b[i]);
    return n == 12 && tail == '}';
}

void formatGuidText(const CLSID& c, char out[39])
{
    snprintf(out, 39, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<unsigned long>(c.Data1),
             c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2], c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6],
             c.Data4[7]);
}

} // namespace qv
