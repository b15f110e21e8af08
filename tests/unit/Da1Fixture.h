#pragma once
// In-process DA 1.0 clients: a recording IAdviseSink and a group fixture with the three
// stream formats.
#include <atomic>
#include <mutex>
#include <vector>
#include "DataIoFixture.h"
#include "Da1Streams.h"

namespace qvtest {

struct StreamCall {
    UINT format = 0;
    std::vector<BYTE> bytes;
    FORMATETC fe{};
    DWORD tymed = 0;
    bool hasUnkForRelease = false;
    bool lockHeld = false;
    LONG sequence = 0; // order across every sink of a test
};

class RecordingAdviseSink : public IAdviseSink {
public:
    explicit RecordingAdviseSink(std::atomic<LONG>* sequence = nullptr) : sequence_(sequence) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAdviseSink)) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* fe, STGMEDIUM* m) override
    {
        StreamCall c;
        c.lockHeld = qv::App().globalLock.heldByMe();
        if (fe) {
            c.fe = *fe;
            c.format = fe->cfFormat;
        }
        if (m) {
            c.tymed = m->tymed;
            c.hasUnkForRelease = m->pUnkForRelease != nullptr;
            if (m->tymed == TYMED_HGLOBAL && m->hGlobal) {
                const SIZE_T n = GlobalSize(m->hGlobal);
                const BYTE* p = static_cast<const BYTE*>(GlobalLock(m->hGlobal));
                if (p) c.bytes.assign(p, p + n);
                GlobalUnlock(m->hGlobal);
            }
        }
        if (sequence_) c.sequence = ++*sequence_;
        std::lock_guard<std::mutex> g(m_);
        calls_.push_back(std::move(c));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    std::vector<StreamCall> take()
    {
        std::lock_guard<std::mutex> g(m_);
        std::vector<StreamCall> out;
        out.swap(calls_);
        return out;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(m_);
        return calls_.size();
    }

    std::atomic<LONG> refs{1};

private:
    std::atomic<LONG>* sequence_;
    std::mutex m_;
    std::vector<StreamCall> calls_;
};

inline UINT formatData() { return RegisterClipboardFormatA("OPCSTMFORMATDATA"); }
inline UINT formatDataTime() { return RegisterClipboardFormatA("OPCSTMFORMATDATATIME"); }
inline UINT formatWrite() { return RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"); }

class Da1Test : public DataIoTest {
protected:
    void TearDown() override
    {
        DataIoTest::TearDown(); // destroys the groups first: they may still hold sinks
        adviseSinks_.clear();
    }

    RecordingAdviseSink& newAdviseSink()
    {
        adviseSinks_.emplace_back(new RecordingAdviseSink(&sequence_));
        return *adviseSinks_.back();
    }

    static HRESULT dadvise(qv::OPCGroup& g, UINT format, IAdviseSink* sink, DWORD* token = nullptr)
    {
        qv::ComPtr<IDataObject> d = itf<IDataObject>(g, IID_IDataObject);
        if (!d) return E_NOINTERFACE;
        FORMATETC fe{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD t = 0;
        HRESULT hr = d->DAdvise(&fe, ADVF_PRIMEFIRST, sink, &t);
        if (token) *token = t;
        return hr;
    }

    std::atomic<LONG> sequence_{0};
    std::vector<std::unique_ptr<RecordingAdviseSink>> adviseSinks_;
};

} // namespace qvtest
