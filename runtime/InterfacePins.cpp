#include "runtime/InterfacePins.h"
#include <ocidl.h>
#include <new>
#include "base/Trace.h"
#include "qvopc.h"

namespace qv {

namespace {

// Every interface a client can get from the server: its class object, objects, groups,
// subscriptions, area browsers, enumerators and connection points. A client's activation
// releases its class factory proxy at once: without its pin, the last such release in a quiet
// moment unregisters IClassFactory and hangs in Wine (seen: the release's own call waits for
// the calls on the interface to end).
const IID* const kServed[] = {
    &IID_IUnknown, &IID_IClassFactory, &IID_IOPCEventAreaBrowser, &IID_IOPCServer, &IID_IOPCCommon,
    &IID_IOPCBrowseServerAddressSpace, &IID_IOPCItemProperties,
    &IID_IConnectionPointContainer, &IID_IConnectionPoint, &IID_IEnumConnectionPoints, &IID_IOPCSecurityNT,
    &IID_IOPCEventServer, &IID_IOPCEventSubscriptionMgt, &IID_IOPCBrowse, &IID_IOPCItemIO, &IID_IOPCItemMgt,
    &IID_IOPCGroupStateMgt, &IID_IOPCGroupStateMgt2, &IID_IOPCSyncIO, &IID_IOPCSyncIO2, &IID_IOPCAsyncIO,
    &IID_IOPCAsyncIO2, &IID_IOPCAsyncIO3, &IID_IDataObject, &IID_IOPCItemDeadbandMgt, &IID_IEnumOPCItemAttributes,
    &IID_IEnumString, &IID_IEnumUnknown,
};

// What the stubs hold: answers each pinned interface with itself. Nobody unmarshals the
// streams (they never leave this process), so no call ever reaches it beyond IUnknown. Any
// other interface (IMarshal, IExternalConnection, ...) is refused: COM would call those.
class PinObject final : public IUnknown {
public:
    explicit PinObject(const std::vector<const IID*>& iids) : iids_(iids) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        for (const IID* iid : iids_) {
            if (IsEqualIID(riid, *iid)) {
                *ppv = static_cast<IUnknown*>(this);
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

private:
    const std::vector<const IID*>& iids_;
};

} // namespace

size_t InterfacePins::pin(const IID* const* iids, size_t count)
{
    release();
    if (!iids) {
        iids = kServed;
        count = sizeof kServed / sizeof kServed[0];
    }
    try {
        iids_.assign(iids, iids + count);
        if (!object_) object_ = new PinObject(iids_);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (const IID* iid : iids_) {
        IStream* stream = nullptr;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) continue;
        if (FAILED(CoMarshalInterface(stream, *iid, object_, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG))) {
            stream->Release();
            continue;
        }
        try {
            streams_.push_back(stream);
        } catch (const std::bad_alloc&) {
            LARGE_INTEGER zero{};
            stream->Seek(zero, STREAM_SEEK_SET, nullptr);
            CoReleaseMarshalData(stream);
            stream->Release();
        }
    }
    QV_TRACE(trace::kConnections, "interfaces kept registered: %u of %u", static_cast<unsigned>(streams_.size()),
             static_cast<unsigned>(iids_.size()));
    return streams_.size();
}

InterfacePins::~InterfacePins()
{
    release();
    delete static_cast<PinObject*>(object_); // IUnknown has no virtual destructor
}

void InterfacePins::release()
{
    for (IStream* stream : streams_) {
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(stream);
        stream->Release();
    }
    streams_.clear();
}

} // namespace qv
