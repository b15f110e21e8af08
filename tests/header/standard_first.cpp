// Compile-only: the OPC headers first, then the host header; no redefinition either way.
#include "qvopc.h"
#include "qvsrvkit.h"

static_assert(OPC_E_NOTSUPPORTED == static_cast<HRESULT>(0xC0040406L), "OPC_E_NOTSUPPORTED");
static_assert(OPC_E_INVALIDBRANCHNAME == OPC_E_INVALID_PID, "A&E shares the value");
static_assert((OPC_QUALITY_SENSOR_CAL & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN, "quality");
static_assert(OPC_READABLE == 1, "rights");
