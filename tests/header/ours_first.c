/* Compile-only: the host header first, then the OPC headers defining the same names. */
#include "qvsrvkit.h"
#include "qvopc.h"

_Static_assert(OPC_E_RANGE == (HRESULT)0xC004000BL, "OPC_E_RANGE");
_Static_assert(OPC_S_CLAMP == 0x0004000EL, "OPC_S_CLAMP");
_Static_assert(OPC_QUALITY_GOOD == 0xC0 && OPC_QUALITY_LOCAL_OVERRIDE == 0xD8, "quality");
_Static_assert(OPC_WRITEABLE == 2, "rights");
