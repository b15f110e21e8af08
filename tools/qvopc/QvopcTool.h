#pragma once
// qvopc's parts: connection (Connection.cpp), value text (ValueText.cpp), command line
// (Options.cpp), the commands (DataCommands.cpp, EventCommands.cpp, servers.cpp).
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>
#include "qvopc.h" // the OPC interfaces (idl/); this header is QvopcTool.h so the two never meet on a case-insensitive file system

namespace qvopc {

// Exit codes, as --help tells them.
enum ExitCode : int {
    kOk = 0,          // everything succeeded
    kItemsFailed = 1, // some items (or the whole request) failed
    kNoServer = 2,    // the server could not be reached, shut down or the connection died
    kBadCommand = 3,  // the command line was wrong: no server was asked
};

template <class I>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() { reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    void reset() { if (p_) { p_->Release(); p_ = nullptr; } }
    I* operator->() const { return p_; }
    I* get() const { return p_; }
    void** out() { reset(); return reinterpret_cast<void**>(&p_); }
    I** pp() { reset(); return &p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    I* p_ = nullptr;
};

std::wstring wide(const std::string& s);
std::string narrow(const wchar_t* w);

// ---- value text (ValueText.cpp) ----
std::string valueText(const VARIANT* v);
std::string qualityText(WORD q);
// Decimal, or hexadecimal after 0x; nothing else (no octal, no sign).
bool parseNumber(const std::string& text, unsigned long max, unsigned long* out);
bool parseQuality(const std::string& text, WORD* q);
// UTC everywhere: 2024-05-02T10:14:07.512Z.
std::string timeText(const FILETIME& ft);
// One item's value line, as read, watch and the completions print it.
void printValue(const FILETIME& t, const std::string& name, const std::string& value, WORD q);
FILETIME nowUtc();
bool parseTime(const std::string& text, FILETIME* ft);
bool makeWriteValue(const std::string& text, VARTYPE type, VARIANT* out, std::string* why);
// "VT_R8 (double)", "VT_ARRAY|VT_I4 (array of long)".
std::string typeText(VARTYPE vt);
// "read", "write", "read/write", "none".
std::string rightsText(DWORD rights);
// An item property's value for people: types, rights, qualities and times by name.
std::string propertyText(DWORD id, const VARIANT* v);

// ---- connection (Connection.cpp) ----
extern IOPCServer* g_server; // for error texts
extern FILE* g_trace;        // --trace
std::string errorText(HRESULT hr);
std::string localErrorText(HRESULT hr);
// The symbolic name of an OPC or common code ("OPC_S_CLAMP"), "" when it has none.
const char* codeName(HRESULT hr);
HRESULT traced(const char* call, HRESULT hr);
// A result saying the server or the way to it is gone (not a refusal by a live server).
bool lostConnection(HRESULT hr);
// Asks the server for its status, only to learn whether it still answers (the result).
HRESULT pingServer(IOPCServer* server);
// The exit code of a failed call: kNoServer when the connection is lost, else kItemsFailed.
int exitCodeFor(HRESULT hr);
// One item's failure, on stderr.
void printItemError(const std::string& name, HRESULT e);
// Prints the failure; exitCodeFor(hr).
int fail(const std::string& what, HRESULT hr);
// Connects and names this client to the server (SetClientName "qvopc <pid>").
HRESULT connect(const std::string& progId, const std::string& node, Ptr<IOPCServer>& server);

// A group with items added; item handles in argument order of those the server took.
struct Items {
    Ptr<IUnknown> group;
    OPCHANDLE hGroup = 0;
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    std::vector<std::string> names;
    size_t failed = 0; // items the server refused (each reported)
};
HRESULT addItems(IOPCServer* server, const std::vector<std::string>& names, DWORD rate, bool active, Items& out,
                 float deadband = 0.0f);

// The IUnknown of a sink that lives on a command's stack: counted references, never deleted.
// Each sink disconnects itself in its own destructor, while its members still live.
template <class Itf, const IID& Iid>
class StackSink : public Itf {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, Iid)) {
            *ppv = static_cast<Itf*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

private:
    std::atomic<ULONG> refs_{1};
};

// Listens for the server's ShutdownRequest and watches that it still answers, while a command
// waits for callbacks.
class ShutdownWatch : public StackSink<IOPCShutdown, IID_IOPCShutdown> {
public:
    ~ShutdownWatch();
    void start(IOPCServer* server);
    // Waits the seconds out: kOk, or kNoServer (with the reason printed) when the server shut
    // down or stopped answering meanwhile.
    int wait(int seconds);
    // After a failed call at the end: what the failure means (kNoServer when the server is gone).
    int ended(HRESULT hr);
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

private:
    int report();
    IOPCServer* server_ = nullptr;
    Ptr<IConnectionPoint> cp_;
    DWORD cookie_ = 0;
    HANDLE event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::string reason_;
    std::atomic<bool> shutdown_{false};
    HRESULT lost_ = S_OK;
};

// ---- the command line (Options.cpp) ----
struct Options {
    std::string progId = "QvSrvKit.Demo", node, tracePath, filter, quality, time, user;
    bool flat = false, device = false, da1 = false, da2 = false, da3 = false, ae = false, refresh = false;
    bool async = false, cancel = false;
    std::string comment, area, source;
    DWORD lowSeverity = 1, highSeverity = 1000;
    DWORD maxAge = 0, keepAlive = 0, rate = 500;
    float deadband = 0.0f;
    int seconds = 10;
    std::vector<std::string> given;
    bool has(const char* name) const;
};
// The command line, checked whole before any server is asked: 0 to go on, -1 when help was
// printed, else the exit code.
int parseCommandLine(int argc, char** argv, Options& o, std::string& cmd, std::vector<std::string>& args);
int usage(const std::string& why);

// ---- the commands ----
int runCommand(IOPCServer* server, const std::string& cmd, const std::vector<std::string>& args, const Options& o);
int cmdEvents(IOPCServer* server, const Options& o);
int cmdAreas(IOPCServer* server, const std::string& path);
int cmdAck(IOPCServer* server, const std::string& source, const std::string& condition, const Options& o);
// servers asks the server browser, not a server.
int cmdServers(const Options& o);

} // namespace qvopc
