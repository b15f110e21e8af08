#pragma once
#include <windows.h>
#include <objidl.h>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>
#include "server/ServerObject.h"

namespace qv {

// IEnumString over a snapshot of 8-bit strings (group names, browse results). Strings go out
// widened byte by byte into task memory.
class IOPCEnumString : public IEnumString, public ServerObject<IOPCEnumString> {
public:
    IOPCEnumString() = default;
    explicit IOPCEnumString(std::vector<std::string> strings) : strings_(std::move(strings)) {}
    virtual ~IOPCEnumString() = default;
    void lastReleased() {}

    void add(const std::string& s) { strings_.push_back(s); }
    std::vector<std::string>& strings() { return strings_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

private:
    std::vector<std::string> strings_;
    LONG position_ = 0;
    std::mutex m_; // guards position_ against concurrent Next/Skip/Reset/Clone
};

} // namespace qv
