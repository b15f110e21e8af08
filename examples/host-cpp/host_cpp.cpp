// A complete QvSrvKit host in C++: the API wrapped in small RAII classes, tags updated from a
// worker thread of the host's own (QV_ calls may come from any thread), a device-read
// callback, a clean stop on Ctrl+C.
#include <windows.h>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include "qvsrvkit.h"

namespace {

// {6A1C52B0-3E0B-4F55-9C7A-2E8D0F4B1C02}
const CLSID CLSID_ExampleCpp = {0x6a1c52b0, 0x3e0b, 0x4f55, {0x9c, 0x7a, 0x2e, 0x8d, 0x0f, 0x4b, 0x1c, 0x02}};
const char kProgId[] = "QvSrvKit.ExampleCpp";

std::atomic<bool> g_stop{false};

// A value owned by this scope (VariantClear on every path).
class Value {
public:
    explicit Value(double d) { VariantInit(&v_); V_VT(&v_) = VT_R8; V_R8(&v_) = d; }
    explicit Value(const wchar_t* s) { VariantInit(&v_); V_VT(&v_) = VT_BSTR; V_BSTR(&v_) = SysAllocString(s); }
    ~Value() { VariantClear(&v_); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    const VARIANT& get() const { return v_; }

private:
    VARIANT v_;
};

class Tag {
public:
    Tag(const char* name, const Value& initial, bool writeable)
        : h_(QV_CreateTag(name, initial.get(), OPC_QUALITY_GOOD, writeable ? TRUE : FALSE)) {}
    ~Tag() { if (ok()) QV_RemoveTag(h_); }
    Tag(const Tag&) = delete;
    Tag& operator=(const Tag&) = delete;
    bool ok() const { return h_ != QV_INVALID_HANDLE; }
    DWORD handle() const { return h_; }
    bool update(const Value& v, WORD quality = OPC_QUALITY_GOOD) const { return QV_UpdateTag(h_, v.get(), quality) != FALSE; }

private:
    DWORD h_;
};

// The COM server for the lifetime of the object; start and stop on the same thread.
class OpcServer {
public:
    explicit OpcServer(DWORD periodMs) : started_(QV_InitOpcServer(&CLSID_ExampleCpp, periodMs) != FALSE) {}
    ~OpcServer() { if (started_) QV_UnInitOpcServer(); }
    OpcServer(const OpcServer&) = delete;
    OpcServer& operator=(const OpcServer&) = delete;
    bool started() const { return started_; }

private:
    bool started_;
};

BOOL WINAPI onCtrl(DWORD)
{
    g_stop = true;
    return TRUE;
}

// A client asked to read from the device: answer from the "device" (here: the clock).
void WINAPI onDeviceRead(DWORD, VARIANT* pValue, WORD* pQuality, FILETIME* pTimeStamp)
{
    VariantClear(pValue);
    V_VT(pValue) = VT_R8;
    V_R8(pValue) = static_cast<double>(GetTickCount() % 100000) / 1000.0;
    *pQuality = OPC_QUALITY_GOOD;
    GetSystemTimeAsFileTime(pTimeStamp);
}

} // namespace

int main(int argc, char** argv)
{
    char path[MAX_PATH + 2] = "\""; // quoted: Program Files has a space
    GetModuleFileNameA(nullptr, path + 1, MAX_PATH);
    strcat(path, "\"");
    std::string trace;
    // Before --regserver: registration writes it under OPC\Vendor.
    QV_SetVendorInfo("QvSrvKit example host (C++)");
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--regserver"))
            return QV_Registry(&CLSID_ExampleCpp, kProgId, "QvSrvKit example host (C++)", path) ? 0 : 1;
        if (!strcmp(argv[i], "--unregserver")) return QV_Unregister(&CLSID_ExampleCpp, kProgId) ? 0 : 1;
        if (!strcmp(argv[i], "--trace") && i + 1 < argc) trace = argv[++i];
    }
    SetConsoleCtrlHandler(onCtrl, TRUE);
    if (!trace.empty()) QV_SetTraceFile(trace.c_str(), QV_TRACE_CALLS);
    QV_EnableDeviceRead(onDeviceRead);

    {
        Tag wave("Machine.Wave", Value(0.0), false);
        Tag state("Machine.State", Value(L"starting"), true);
        if (!wave.ok() || !state.ok()) return 1;
        OpcServer server(100);
        if (!server.started()) {
            fprintf(stderr, "cannot start the OPC server\n");
            return 1;
        }
        state.update(Value(L"running"));
        // The host's own acquisition thread publishes; QV_UpdateTag never waits for a client.
        std::thread acquisition([&] {
            for (int n = 0; !g_stop; ++n) {
                wave.update(Value(std::sin(n / 10.0)));
                Sleep(50);
            }
        });
        while (!g_stop) Sleep(200);
        acquisition.join();
        state.update(Value(L"stopped"));
    } // the server stops, then the tags go
    QV_SetTraceFile(nullptr, QV_TRACE_OFF);
    return 0;
}
