// Group interface objects not built yet: QueryInterface answers E_NOINTERFACE for them, and
// the data-exchange operations do nothing. Each line goes when its implementation comes.
#include "group/OPCGroup.h"

namespace qv {

std::unique_ptr<InterfaceHolder> makeItemMgt(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeGroupStateMgt(OPCGroup*) { return nullptr; }

void OPCItem::copyFrom(const OPCItem&) {}
HRESULT OPCItem::fillAttributes(OPCITEMATTRIBUTES*) const { return E_NOTIMPL; }

} // namespace qv
