// Interface objects not built yet: QueryInterface answers E_NOINTERFACE for them. Each line
// goes when its interface gets its implementation.
#include "server/OPCServer.h"

namespace qv {


} // namespace qv
