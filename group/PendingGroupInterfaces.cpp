// Group interface objects not built yet: QueryInterface answers E_NOINTERFACE for them, and
// the data-exchange operations do nothing. Each line goes when its implementation comes.
#include "group/OPCGroup.h"

namespace qv {



} // namespace qv
