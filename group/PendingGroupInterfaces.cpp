// Group interface objects not built yet: QueryInterface answers E_NOINTERFACE for them, and
// the data-exchange operations do nothing. Each line goes when its implementation comes.
#include "group/OPCGroup.h"

namespace qv {

std::unique_ptr<InterfaceHolder> makeItemMgt(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeSyncIO(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeAsyncIO(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeAsyncIO2(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeGroupStateMgt(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeDataObject(OPCGroup*) { return nullptr; }
std::unique_ptr<InterfaceHolder> makeGroupConnectionContainer(OPCGroup*) { return nullptr; }

void OPCGroup::scan(bool) {}
void OPCGroup::dispatchQueue() {}
bool OPCGroup::hasDataCallback() { return false; }
bool OPCGroup::hasDA1DataSink() { return false; }
bool OPCGroup::hasDA1WriteSink() { return false; }

HRESULT OPCItem::readValue(VARIANT*, WORD*, FILETIME*) const { return E_NOTIMPL; }
HRESULT OPCItem::writeValue(VARIANT*) { return E_NOTIMPL; }
void OPCItem::copyFrom(const OPCItem&) {}
HRESULT OPCItem::fillAttributes(OPCITEMATTRIBUTES*) const { return E_NOTIMPL; }
DWORD OPCItem::streamSize() const { return 16; }
void OPCItem::onTagUpdated(const OPCTag&) {}

} // namespace qv
