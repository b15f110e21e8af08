// The group's DA 1.0 IDataObject: three advise slots (data, data+time, write completion) and
// the OPC stream formats sent through IAdviseSink::OnDataChange. Streams are sized and written
// under the global lock from one set of value copies, and sent after the lock is left.
#include <cstring>
#include <mutex>
#include <new>
#include <vector>
#include "dataio/DataIo.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

// An HGLOBAL freed on every path (after the sink call returns).
class GlobalBlock {
public:
    GlobalBlock() = default;
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    ~GlobalBlock() { reset(); }
    bool allocate(size_t bytes)
    {
        reset();
        h_ = GlobalAlloc(GMEM_FIXED, bytes);
        return h_ != nullptr;
    }
    void reset()
    {
        if (h_) GlobalFree(h_);
        h_ = nullptr;
    }
    HGLOBAL get() const { return h_; }
    BYTE* bytes() const { return static_cast<BYTE*>(h_); } // GMEM_FIXED: the handle is the address

private:
    HGLOBAL h_ = nullptr;
};

// One item's part of a data stream, copied out of the item under the lock.
struct StreamValue {
    OPCHANDLE client = 0;
    WORD quality = 0;
    FILETIME time{};
    Variant value;
};

constexpr size_t kGroupHeader = 20;
constexpr size_t kHeaderWithTime = 20;
constexpr size_t kHeaderNoTime = 12;
constexpr size_t kVariantBytes = 16;
constexpr size_t kWriteHeader = 16;
constexpr size_t kWriteItem = 8;

inline void put32(BYTE* p, DWORD v) { memcpy(p, &v, 4); }
inline void put16(BYTE* p, WORD v) { memcpy(p, &v, 2); }

constexpr size_t kArrayHeader = 16; // cDims, fFeatures, cbElements, cLocks, pvData (0)
constexpr unsigned long long kTooBig = ~0ull;

ULONG elementCount(const SAFEARRAY* sa)
{
    if (!sa || sa->cDims == 0) return 0;
    unsigned long long n = 1;
    for (USHORT d = 0; d < sa->cDims; ++d) {
        n *= sa->rgsabound[d].cElements;
        if (n > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<ULONG>(n);
}

bool streamedArray(const VARIANT& v) { return (V_VT(&v) & VT_ARRAY) && !(V_VT(&v) & VT_BYREF); }

// The element size the stream states for an array: a string element is its length and text
// after the descriptor, a VARIANT element its 16 bytes (and what follows them).
DWORD streamElementBytes(VARTYPE element, const SAFEARRAY* sa)
{
    if (element == VT_BSTR) return 4;
    if (element == VT_VARIANT) return static_cast<DWORD>(kVariantBytes);
    return sa ? sa->cbElements : 0;
}

// Bytes the value occupies in the stream (kTooBig when it does not fit in 32 bits): 16 for the
// VARIANT; a string adds its byte count, text and terminating null; an array adds its
// descriptor (as a 32-bit SAFEARRAY with its bounds) and then its elements, strings and
// VARIANTs each laid out as a value of their own.
unsigned long long valueBytes(const VARIANT& v)
{
    if (V_VT(&v) == VT_BSTR) return kVariantBytes + 4 + SysStringByteLen(V_BSTR(&v)) + 2;
    if (!streamedArray(v)) return kVariantBytes;
    const SAFEARRAY* sa = V_ARRAY(&v);
    if (!sa) return kVariantBytes + kArrayHeader;
    const ULONG n = elementCount(sa);
    unsigned long long total = kVariantBytes + kArrayHeader + 8ull * sa->cDims;
    const VARTYPE element = V_VT(&v) & VT_TYPEMASK;
    if (n && !sa->pvData) return kTooBig;
    if (element == VT_BSTR) {
        const BSTR* b = static_cast<const BSTR*>(sa->pvData);
        for (ULONG i = 0; i < n; ++i) total += 4 + SysStringByteLen(b[i]) + 2;
    } else if (element == VT_VARIANT) {
        const VARIANT* e = static_cast<const VARIANT*>(sa->pvData);
        for (ULONG i = 0; i < n && total <= 0xFFFFFFFFull; ++i) {
            const unsigned long long b = valueBytes(e[i]);
            if (b == kTooBig) return kTooBig;
            total += b;
        }
    } else {
        total += static_cast<unsigned long long>(n) * sa->cbElements;
    }
    return total > 0xFFFFFFFFull ? kTooBig : total;
}

size_t putString(BYTE* p, BSTR s)
{
    const DWORD len = SysStringByteLen(s);
    put32(p, len);
    if (len) memcpy(p + 4, s, len);
    put16(p + 4 + len, 0);
    return 4 + len + 2;
}

// Writes the value as valueBytes sized it; returns the bytes written. Pointers inside the
// VARIANT would only show server addresses to the receiver: they are zeroed.
size_t putValue(BYTE* p, const VARIANT& v)
{
    memcpy(p, &v, kVariantBytes);
    const VARTYPE vt = V_VT(&v);
    if (vt == VT_BSTR || (vt & (VT_ARRAY | VT_BYREF)) || vt == VT_UNKNOWN || vt == VT_DISPATCH || vt == VT_RECORD)
        memset(p + 8, 0, 8);
    size_t at = kVariantBytes;
    if (vt == VT_BSTR) return at + putString(p + at, V_BSTR(&v));
    if (!streamedArray(v)) return at;
    const SAFEARRAY* sa = V_ARRAY(&v);
    const VARTYPE element = vt & VT_TYPEMASK;
    memset(p + at, 0, kArrayHeader);
    if (!sa) return at + kArrayHeader;
    put16(p + at, sa->cDims);
    put16(p + at + 2, sa->fFeatures);
    put32(p + at + 4, streamElementBytes(element, sa));
    at += kArrayHeader;
    for (USHORT d = 0; d < sa->cDims; ++d, at += 8) {
        put32(p + at, sa->rgsabound[d].cElements);
        put32(p + at + 4, static_cast<DWORD>(sa->rgsabound[d].lLbound));
    }
    const ULONG n = elementCount(sa);
    if (element == VT_BSTR) {
        const BSTR* b = static_cast<const BSTR*>(sa->pvData);
        for (ULONG i = 0; i < n; ++i) at += putString(p + at, b[i]);
    } else if (element == VT_VARIANT) {
        const VARIANT* e = static_cast<const VARIANT*>(sa->pvData);
        for (ULONG i = 0; i < n; ++i) at += putValue(p + at, e[i]);
    } else if (n) {
        const size_t bytes = static_cast<size_t>(n) * sa->cbElements;
        memcpy(p + at, sa->pvData, bytes);
        at += bytes;
    }
    return at;
}

// The item's value as a stream shows it (global lock held). An item without read access
// gives no value: it goes out empty with bad quality and a zero time stamp.
void readForStream(const OPCItem& it, StreamValue& out)
{
    out.client = it.clientHandle;
    out.quality = OPC_QUALITY_BAD;
    out.time = FILETIME{};
    out.value.clear();
    WORD q = OPC_QUALITY_BAD;
    FILETIME t{};
    if (it.readValue(out.value.get(), &q, &t) == OPC_E_BADRIGHTS) return;
    out.quality = q;
    out.time = t;
}

// Sizes and writes one data stream from exactly these values. False (nothing built) when
// the size does not fit or GlobalAlloc fails.
bool buildDataStream(GlobalBlock& block, OPCHANDLE hGroup, DWORD transactionId, bool withTime,
                     const std::vector<StreamValue>& values, HRESULT status = S_OK)
{
    const size_t header = withTime ? kHeaderWithTime : kHeaderNoTime;
    unsigned long long total = kGroupHeader + static_cast<unsigned long long>(header) * values.size();
    for (const StreamValue& v : values) {
        const unsigned long long b = valueBytes(*v.value.get());
        if (b == kTooBig) return false;
        total += b;
        if (total > 0xFFFFFFFFull) return false;
    }
    if (total > 0xFFFFFFFFull || total > static_cast<unsigned long long>(static_cast<size_t>(-1))) return false;
    if (!block.allocate(static_cast<size_t>(total))) return false;
    BYTE* p = block.bytes();
    put32(p + 0, static_cast<DWORD>(total));
    put32(p + 4, static_cast<DWORD>(values.size()));
    put32(p + 8, hGroup);
    put32(p + 12, transactionId);
    put32(p + 16, static_cast<DWORD>(status));
    size_t at = kGroupHeader + header * values.size();
    for (size_t i = 0; i < values.size(); ++i) {
        const StreamValue& v = values[i];
        BYTE* h = p + kGroupHeader + header * i;
        put32(h + 0, v.client);
        put32(h + 4, static_cast<DWORD>(at));
        put16(h + 8, v.quality);
        put16(h + 10, 0);
        if (withTime) memcpy(h + 12, &v.time, 8);
        at += putValue(p + at, *v.value.get());
    }
    return true;
}

// Whether the call was made (the client not known to be gone).
bool sendStream(const ComPtr<IAdviseSink>& sink, UINT format, GlobalBlock& block)
{
    if (!sink || !block.get()) return false;
    FORMATETC fe{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM m{};
    m.tymed = TYMED_HGLOBAL;
    m.hGlobal = block.get();
    m.pUnkForRelease = nullptr;
    // IAdviseSink calls return nothing: a dead DA 1.0-only client cannot be told apart here.
    const bool called = callClientVoid([&] { sink->OnDataChange(&fe, &m); });
    block.reset();
    return called;
}
class IOPCDataObject : public InterfaceObject<IDataObject, OPCGroup>, public DA1DataSinks {
public:
    enum SlotIndex { kData, kDataTime, kWrite, kSinkCount };

    explicit IOPCDataObject(OPCGroup* g) : InterfaceObject(g)
    {
        format_[kData] = RegisterClipboardFormatA("OPCSTMFORMATDATA");
        format_[kDataTime] = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
        format_[kWrite] = RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE");
    }

    // ---- IDataObject ----
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::GetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::GetDataHere", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::QueryGetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::GetCanonicalFormatEtc", 0, [&]() -> HRESULT {
            (void)out;
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::SetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC** pp) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::EnumFormatEtc", 0, [&]() -> HRESULT {
            if (pp) *pp = nullptr;
            if (owner_->gone()) return kGoneResult;
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** pp) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::EnumDAdvise", 0, [&]() -> HRESULT {
            if (pp) *pp = nullptr;
            if (owner_->gone()) return kGoneResult;
            return E_NOTIMPL;
        });
    }

    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pFormatetc, DWORD, IAdviseSink* pAdvSink,
                                      DWORD* pdwConnection) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::DAdvise", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            if (!pdwConnection || !pAdvSink || !pFormatetc) return E_POINTER;
            const int slot = slotOf(pFormatetc->cfFormat);
            if (slot < 0) return DV_E_FORMATETC;
            {
                LockGuard lock(App().globalLock);
                if (sinks_[slot]) return CONNECT_E_ADVISELIMIT;
            }
            // Asked without the lock: the sink lives in the client.
            ComPtr<IAdviseSink> s;
            HRESULT hr = callClient(
                [&] { return pAdvSink->QueryInterface(IID_IAdviseSink, reinterpret_cast<void**>(s.put())); });
            if (FAILED(hr)) return hr;
            if (!s) return E_NOINTERFACE;
            {
                LockGuard lock(App().globalLock);
                // The group may have gone meanwhile (its sinks were let go: nothing may be kept), or
                // another advise may have won the slot; s is then released after the lock.
                if (owner_->gone()) return kGoneResult;
                if (!sinks_[slot]) {
                    sinks_[slot] = std::move(s);
                    *pdwConnection = format_[slot];
                    return S_OK;
                }
            }
            return CONNECT_E_ADVISELIMIT;
        });
    }

    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) override
    {
        return trace::traced(owner_->traceClient(), "IDataObject::DUnadvise", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            ComPtr<IAdviseSink> old; // released after the lock
            LockGuard lock(App().globalLock);
            for (int i = 0; i < kSinkCount; ++i) {
                if (format_[i] == dwConnection && format_[i] != 0 && sinks_[i]) {
                    old = std::move(sinks_[i]);
                    lock.release();
                    return S_OK;
                }
            }
            return OLE_E_NOCONNECTION;
        });
    }

    // ---- group side ----
    void dropSinks() override
    {
        ComPtr<IAdviseSink> old[kSinkCount];
        LockGuard lock(App().globalLock);
        for (int i = 0; i < kSinkCount; ++i) old[i] = std::move(sinks_[i]);
        lock.release();
        for (auto& o : old) letGo(o);
    }

    ComPtr<IUnknown> anySink() override
    {
        LockGuard lock(App().globalLock);
        for (auto& s : sinks_)
            if (s) return ComPtr<IUnknown>(s.get(), true);
        return ComPtr<IUnknown>();
    }

    bool hasSink(SlotIndex i)
    {
        LockGuard lock(App().globalLock);
        return static_cast<bool>(sinks_[i]);
    }

    void notifyDataChange(OPCGroup& g, bool forced) override
    {
        // Declared before the guard: freed and released after the lock is left.
        ComPtr<IAdviseSink> timeSink, dataSink;
        GlobalBlock timeBlock, dataBlock;
        std::vector<StreamValue> values;
        std::vector<SentItem> sent;
        std::vector<OPCItem*> list;
        LockGuard lock(App().globalLock);
        if (g.gone()) return;
        timeSink = sinks_[kDataTime];
        dataSink = sinks_[kData];
        // No data sink yet: the stream path's changes stay pending, so a client advising after
        // its items were added gets them.
        if (!timeSink && !dataSink) return;
        try {
            for (auto& kv : g.items) {
                OPCItem* it = kv.second.get();
                if (it->active && (forced || it->stream.changed)) list.push_back(it);
            }
            if (list.empty()) return;
            collect(list, values);
            snapshotSent(list, sent);
        } catch (const std::bad_alloc&) {
            return; // flags stay: the change goes out with a later scan
        }
        const OPCHANDLE hGroup = g.clientHandle.load();
        // A stream that could not be built sends nothing and keeps the changes pending.
        if (timeSink && !buildDataStream(timeBlock, hGroup, 0, true, values)) return;
        if (dataSink && !buildDataStream(dataBlock, hGroup, 0, false, values)) return;
        noteDataChangeSent(g);
        lock.release();
        bool called = sendStream(timeSink, format_[kDataTime], timeBlock);
        called = sendStream(dataSink, format_[kData], dataBlock) || called;
        // IAdviseSink calls return nothing: a call made is all the delivery there is to know.
        if (called) confirmDelivery(g, true, sent);
    }

    void complete(OPCGroup& g, const AsyncTransaction& t) override
    {
        if (t.cancelled) return; // DA 1.0 has no cancel notification
        if (t.kind == AsyncTransaction::kWrite) {
            completeWrite(g, t);
            return;
        }
        if (t.kind != AsyncTransaction::kRead && t.kind != AsyncTransaction::kRefresh) return;
        ComPtr<IAdviseSink> timeSink, dataSink;
        GlobalBlock timeBlock, dataBlock;
        std::vector<StreamValue> values;
        std::vector<OPCItem*> list;
        LockGuard lock(App().globalLock);
        if (g.gone()) return;
        timeSink = sinks_[kDataTime];
        dataSink = sinks_[kData];
        if (!timeSink && !dataSink) return;
        try {
            if (t.kind == AsyncTransaction::kRead) {
                // An item removed since the request still completes: empty, bad quality.
                values.resize(t.serverHandles.size());
                for (size_t i = 0; i < values.size(); ++i) {
                    if (OPCItem* it = g.findItem(t.serverHandles[i])) readForStream(*it, values[i]);
                    else if (i < t.clientHandles.size()) values[i].client = t.clientHandles[i];
                }
            } else {
                for (auto& kv : g.items)
                    if (kv.second->active) list.push_back(kv.second.get());
                if (!collect(list, values)) return;
            }
        } catch (const std::bad_alloc&) {
            return;
        }
        // A refresh whose items all went inactive or were removed before it was performed still
        // completes: no items, and E_FAIL, the code the call gives a group without active items.
        const HRESULT status = values.empty() ? E_FAIL : S_OK;
        const OPCHANDLE hGroup = g.clientHandle.load();
        if (timeSink) buildDataStream(timeBlock, hGroup, t.transactionId, true, values, status);
        if (dataSink) buildDataStream(dataBlock, hGroup, t.transactionId, false, values, status);
        if (timeBlock.get() || dataBlock.get()) noteDataChangeSent(g);
        lock.release();
        sendStream(timeSink, format_[kDataTime], timeBlock);
        sendStream(dataSink, format_[kData], dataBlock);
    }

private:
    int slotOf(CLIPFORMAT cf) const
    {
        for (int i = 0; i < kSinkCount; ++i)
            if (format_[i] != 0 && cf == static_cast<CLIPFORMAT>(format_[i])) return i;
        return -1;
    }

    // Copies of the items' values (global lock held); false when a copy could not be made.
    static bool collect(const std::vector<OPCItem*>& list, std::vector<StreamValue>& values)
    {
        values.resize(list.size());
        for (size_t i = 0; i < list.size(); ++i) readForStream(*list[i], values[i]);
        return true;
    }

    void completeWrite(OPCGroup& g, const AsyncTransaction& t)
    {
        ComPtr<IAdviseSink> sink;
        GlobalBlock block;
        LockGuard lock(App().globalLock);
        if (g.gone()) return;
        sink = sinks_[kWrite];
        const size_t n = t.writeResults.size();
        if (!sink || n > t.serverHandles.size() || n > (0xFFFFFFFFu - kWriteHeader) / kWriteItem) return;
        if (!block.allocate(kWriteHeader + kWriteItem * n)) return;
        BYTE* p = block.bytes();
        put32(p + 0, static_cast<DWORD>(n));
        put32(p + 4, g.clientHandle.load());
        put32(p + 8, t.transactionId);
        put32(p + 12, S_OK);
        for (size_t i = 0; i < n; ++i) {
            const OPCItem* it = g.findItem(t.serverHandles[i]);
            put32(p + kWriteHeader + kWriteItem * i, it ? it->clientHandle : t.serverHandles[i]);
            put32(p + kWriteHeader + kWriteItem * i + 4, static_cast<DWORD>(t.writeResults[i]));
        }
        lock.release();
        traceItemResults(g, "IAdviseSink::OnDataChange (write complete)", static_cast<DWORD>(n), t.serverHandles.data(),
                         t.writeResults.data());
        sendStream(sink, format_[kWrite], block);
    }

    UINT format_[kSinkCount] = {};
    ComPtr<IAdviseSink> sinks_[kSinkCount]; // under the global lock
};

IOPCDataObject* dataObjectOf(OPCGroup& g) { return dynamic_cast<IOPCDataObject*>(g.slotObject(OPCGroup::kDataObject)); }

} // namespace

std::unique_ptr<InterfaceHolder> makeDataObject(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) IOPCDataObject(g));
}

bool OPCGroup::hasDA1DataSink()
{
    IOPCDataObject* d = dataObjectOf(*this);
    return d && (d->hasSink(IOPCDataObject::kData) || d->hasSink(IOPCDataObject::kDataTime));
}

bool OPCGroup::hasDA1WriteSink()
{
    IOPCDataObject* d = dataObjectOf(*this);
    return d && d->hasSink(IOPCDataObject::kWrite);
}

} // namespace qv
