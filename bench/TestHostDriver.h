#pragma once
// Shared by the benchmarks that drive the test host: a sink object that lives for the whole
// run, and the host's command file.
#include <windows.h>
#include <cstdio>
#include <string>
#include <vector>

namespace qvbench {

// A sink of interface I with static lifetime: reference counting is a no-op.
template <class I>
class StaticSink : public I {
public:
    explicit StaticSink(REFIID iid) : iid_(iid) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *ppv = static_cast<I*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

private:
    IID iid_;
};

// Hands the test host (log folder dir) command lines and waits until its main loop ran them.
inline void hostCommands(const std::string& dir, const std::vector<std::string>& lines)
{
    const std::string path = dir + "\\qvtesthost.cmd", tmp = path + ".tmp";
    while (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) Sleep(20);
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return;
    for (const std::string& l : lines) fprintf(f, "%s\n", l.c_str());
    fclose(f);
    MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    while (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) Sleep(20);
}

} // namespace qvbench
