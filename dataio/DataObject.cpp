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

// Bytes the value occupies in the stream.
size_t valueBytes(const VARIANT& v)
{
    if (V_VT(&v) == VT_BSTR) return kVariantBytes + 4 + SysStringByteLen(V_BSTR(&v)) + 2;
    return kVariantBytes;
}

// The value's 16 bytes; pointers inside would only show server addresses to the receiver.
void putVariant(BYTE* p, const VARIANT& v)
{
    memcpy(p, &v, kVariantBytes);
    const VARTYPE vt = V_VT(&v);
    if (vt == VT_BSTR || (vt & (VT_ARRAY | VT_BYREF)) || vt == VT_UNKNOWN || vt == VT_DISPATCH || vt == VT_RECORD)
        memset(p + 8, 0, 8);
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
                     const std::vector<StreamValue>& values)
{
    const size_t header = withTime ? kHeaderWithTime : kHeaderNoTime;
    unsigned long long total = kGroupHeader + static_cast<unsigned long long>(header) * values.size();
    for (const StreamValue& v : values) total += valueBytes(*v.value.get());
    if (total > 0xFFFFFFFFull || total > static_cast<unsigned long long>(static_cast<size_t>(-1))) return false;
    if (!block.allocate(static_cast<size_t>(total))) return false;
    BYTE* p = block.bytes();
    put32(p + 0, static_cast<DWORD>(total));
    put32(p + 4, static_cast<DWORD>(values.size()));
    put32(p + 8, hGroup);
    put32(p + 12, transactionId);
    put32(p + 16, S_OK);
    size_t at = kGroupHeader + header * values.size();
    for (size_t i = 0; i < values.size(); ++i) {
        const StreamValue& v = values[i];
        BYTE* h = p + kGroupHeader + header * i;
        put32(h + 0, v.client);
        put32(h + 4, static_cast<DWORD>(at));
        put16(h + 8, v.quality);
        put16(h + 10, 0);
        if (withTime) memcpy(h + 12, &v.time, 8);
        const VARIANT& var = *v.value.get();
        putVariant(p + at, var);
        at += kVariantBytes;
        if (V_VT(&var) == VT_BSTR) {
            const DWORD len = SysStringByteLen(V_BSTR(&var));
            put32(p + at, len);
            at += 4;
            if (len) memcpy(p + at, V_BSTR(&var), len);
            at += len;
            put16(p + at, 0);
            at += 2;
        }
    }
    return true;
}

void sendStream(const ComPtr<IAdviseSink>& sink, UINT format, GlobalBlock& block)
{
    if (!sink || !block.get()) return;
    FORMATETC fe{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM m{};
    m.tymed = TYMED_HGLOBAL;
    m.hGlobal = block.get();
    m.pUnkForRelease = nullptr;
    // IAdviseSink calls return nothing: a dead DA 1.0-only client cannot be told apart here.
    callClientVoid([&] { sink->OnDataChange(&fe, &m); });
    block.reset();
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
        return trace::traced("IDataObject::GetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override
    {
        return trace::traced("IDataObject::GetDataHere", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override
    {
        return trace::traced("IDataObject::QueryGetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override
    {
        return trace::traced("IDataObject::GetCanonicalFormatEtc", 0, [&]() -> HRESULT {
            (void)out;
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override
    {
        return trace::traced("IDataObject::SetData", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC** pp) override
    {
        return trace::traced("IDataObject::EnumFormatEtc", 0, [&]() -> HRESULT {
            if (pp) *pp = nullptr;
            if (owner_->gone()) return kGoneResult;
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** pp) override
    {
        return trace::traced("IDataObject::EnumDAdvise", 0, [&]() -> HRESULT {
            if (pp) *pp = nullptr;
            if (owner_->gone()) return kGoneResult;
            return E_NOTIMPL;
        });
    }

    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pFormatetc, DWORD, IAdviseSink* pAdvSink,
                                      DWORD* pdwConnection) override
    {
        return trace::traced("IDataObject::DAdvise", 0, [&]() -> HRESULT {
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
        return trace::traced("IDataObject::DUnadvise", 0, [&]() -> HRESULT {
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

    void notifyDataChange(OPCGroup& g, bool clear) override
    {
        // Declared before the guard: freed and released after the lock is left.
        ComPtr<IAdviseSink> timeSink, dataSink;
        GlobalBlock timeBlock, dataBlock;
        std::vector<StreamValue> values;
        std::vector<OPCItem*> list;
        LockGuard lock(App().globalLock);
        if (g.gone()) return;
        bool complete = true;
        try {
            for (auto& kv : g.items)
                if (kv.second->changed && kv.second->active) list.push_back(kv.second.get());
            if (list.empty()) return;
            timeSink = sinks_[kDataTime];
            dataSink = sinks_[kData];
            if (timeSink || dataSink) complete = collect(list, values);
        } catch (const std::bad_alloc&) {
            return; // flags stay: the change goes out with a later scan
        }
        const OPCHANDLE hGroup = g.clientHandle.load();
        if (complete && timeSink) complete = buildDataStream(timeBlock, hGroup, 0, true, values);
        if (complete && dataSink) complete = buildDataStream(dataBlock, hGroup, 0, false, values);
        // A report that did not go out (no data sink yet, or no stream built) keeps the flags,
        // so the change is not lost: a client advising after its items were added gets them.
        if (clear && complete && (timeSink || dataSink))
            for (OPCItem* it : list) it->markDelivered();
        if (timeBlock.get() || dataBlock.get()) noteDataChangeSent(g);
        lock.release();
        sendStream(timeSink, format_[kDataTime], timeBlock);
        sendStream(dataSink, format_[kData], dataBlock);
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
            if (values.empty()) return;
        } catch (const std::bad_alloc&) {
            return;
        }
        const OPCHANDLE hGroup = g.clientHandle.load();
        if (timeSink) buildDataStream(timeBlock, hGroup, t.transactionId, true, values);
        if (dataSink) buildDataStream(dataBlock, hGroup, t.transactionId, false, values);
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
