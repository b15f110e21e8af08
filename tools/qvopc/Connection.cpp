// qvopc: reaching the server, naming the results, and noticing when it goes.
#include <ocidl.h>
#include "QvopcTool.h"

namespace qvopc {

IOPCServer* g_server = nullptr; // for error texts

std::string errorText(HRESULT hr)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    LPWSTR text = nullptr;
    if (g_server && SUCCEEDED(g_server->GetErrorString(hr, LOCALE_SYSTEM_DEFAULT, &text)) && text) {
        std::string t = narrow(text);
        CoTaskMemFree(text);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        return std::string(code) + " " + t;
    }
    return localErrorText(hr);
}

// Codes the system has no text for: a success code's number is no Win32 error (FormatMessage
// calls S_FALSE "Invalid function."), and the OPC codes are the interfaces' own.
#define QV_CODE_NAME(c) {c, #c}
const struct {
    HRESULT hr;
    const char* name;
} kCodeNames[] = {
    QV_CODE_NAME(S_OK), QV_CODE_NAME(S_FALSE), QV_CODE_NAME(OPC_E_INVALIDHANDLE), QV_CODE_NAME(OPC_E_BADTYPE),
    QV_CODE_NAME(OPC_E_PUBLIC), QV_CODE_NAME(OPC_E_BADRIGHTS), QV_CODE_NAME(OPC_E_UNKNOWNITEMID),
    QV_CODE_NAME(OPC_E_INVALIDITEMID), QV_CODE_NAME(OPC_E_INVALIDFILTER), QV_CODE_NAME(OPC_E_UNKNOWNPATH),
    QV_CODE_NAME(OPC_E_RANGE), QV_CODE_NAME(OPC_E_DUPLICATENAME), QV_CODE_NAME(OPC_S_UNSUPPORTEDRATE),
    QV_CODE_NAME(OPC_S_CLAMP), QV_CODE_NAME(OPC_S_INUSE), QV_CODE_NAME(OPC_E_INVALIDCONFIGFILE),
    QV_CODE_NAME(OPC_E_NOTFOUND), QV_CODE_NAME(OPC_E_INVALID_PID), QV_CODE_NAME(OPC_E_DEADBANDNOTSET),
    QV_CODE_NAME(OPC_E_DEADBANDNOTSUPPORTED), QV_CODE_NAME(OPC_E_NOBUFFERING),
    QV_CODE_NAME(OPC_E_INVALIDCONTINUATIONPOINT), QV_CODE_NAME(OPC_S_DATAQUEUEOVERFLOW),
    QV_CODE_NAME(OPC_E_RATENOTSET), QV_CODE_NAME(OPC_E_NOTSUPPORTED), QV_CODE_NAME(OPC_S_ALREADYACKED),
    QV_CODE_NAME(OPC_S_INVALIDBUFFERTIME), QV_CODE_NAME(OPC_S_INVALIDMAXSIZE), QV_CODE_NAME(OPC_E_INVALIDTIME),
    QV_CODE_NAME(OPC_E_BUSY), QV_CODE_NAME(OPC_E_NOINFO),
};
#undef QV_CODE_NAME

const char* codeName(HRESULT hr)
{
    for (const auto& c : kCodeNames)
        if (c.hr == hr) return c.name;
    return "";
}

// The system's text only (no call to the server).
std::string localErrorText(HRESULT hr)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    for (const auto& c : kCodeNames)
        if (c.hr == hr) return std::string(code) + " " + c.name;
    if (SUCCEEDED(hr) || HRESULT_FACILITY(hr) == FACILITY_ITF) return code;
    char buf[256] = {0};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr), 0, buf,
                       sizeof buf - 1, nullptr)) {
        std::string t = buf;
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        return std::string(code) + " " + t;
    }
    return code;
}

bool lostConnection(HRESULT hr)
{
    // RPC_E_* and the RPC_S_* system errors (1700 to 1999): the call never got an answer.
    if (HRESULT_FACILITY(hr) == FACILITY_RPC) return FAILED(hr);
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && HRESULT_CODE(hr) >= 1700 && HRESULT_CODE(hr) < 2000) return true;
    return hr == CO_E_OBJNOTCONNECTED || hr == CO_E_SERVER_EXEC_FAILURE || hr == REGDB_E_CLASSNOTREG ||
           hr == CO_E_CLASSSTRING;
}

HRESULT pingServer(IOPCServer* server)
{
    OPCSERVERSTATUS* st = nullptr;
    const HRESULT hr = traced("IOPCServer::GetStatus", server->GetStatus(&st));
    if (st) {
        CoTaskMemFree(st->szVendorInfo);
        CoTaskMemFree(st);
    }
    return hr;
}

int fail(const std::string& what, HRESULT hr)
{
    // A lost server cannot name its codes: the local text then.
    const std::string text = lostConnection(hr) ? localErrorText(hr) : errorText(hr);
    fprintf(stderr, "qvopc: %s: %s\n", what.c_str(), text.c_str());
    fflush(stderr);
    return exitCodeFor(hr);
}

int exitCodeFor(HRESULT hr) { return lostConnection(hr) ? kNoServer : kItemsFailed; }

void printItemError(const std::string& name, HRESULT e)
{
    fprintf(stderr, "qvopc: %s: %s\n", name.c_str(), errorText(e).c_str());
}

// --trace FILE: every COM call qvopc makes, with its result.
FILE* g_trace = nullptr;

HRESULT traced(const char* call, HRESULT hr)
{
    if (!g_trace) return hr;
    fprintf(g_trace, "%s CALL %s -> %s\n", timeText(nowUtc()).c_str(), call, localErrorText(hr).c_str());
    fflush(g_trace);
    return hr;
}

HRESULT connect(const std::string& progId, const std::string& node, Ptr<IOPCServer>& server)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(wide(progId).c_str(), &clsid);
    if (FAILED(hr)) {
        if (FAILED(CLSIDFromString(const_cast<LPOLESTR>(wide(progId).c_str()), &clsid))) {
            fprintf(stderr, "qvopc: server %s is not registered on this machine\n", progId.c_str());
            return hr;
        }
    }
    // Activation asks for IUnknown (marshaled by COM itself); IOPCServer needs the OPC
    // proxy/stub registered for this process's architecture, so its failure tells that apart.
    MULTI_QI mqi = {&IID_IUnknown, nullptr, S_OK};
    COSERVERINFO info = {};
    std::wstring host = wide(node);
    info.pwszName = host.empty() ? nullptr : &host[0];
    hr = traced("CoCreateInstanceEx", CoCreateInstanceEx(clsid, nullptr, host.empty() ? CLSCTX_LOCAL_SERVER : CLSCTX_REMOTE_SERVER,
                            host.empty() ? nullptr : &info, 1, &mqi));
    if (SUCCEEDED(hr)) hr = mqi.hr;
    if (FAILED(hr)) {
        if (hr == E_ACCESSDENIED) fprintf(stderr, "qvopc: access denied by %s\n", progId.c_str());
        else if (hr == REGDB_E_CLASSNOTREG) fprintf(stderr, "qvopc: server %s is not registered\n", progId.c_str());
        return hr;
    }
    Ptr<IUnknown> unk;
    *unk.pp() = mqi.pItf;
    hr = traced("IUnknown::QueryInterface(IOPCServer)", unk->QueryInterface(IID_IOPCServer, server.out()));
    if (FAILED(hr)) {
        fprintf(stderr,
                "qvopc: %s runs but its OPC interfaces cannot reach this %d-bit program: register the %d-bit "
                "proxy/stub (regsvr32 QvSrvKitPS.dll%s)\n",
                progId.c_str(), static_cast<int>(sizeof(void*) * 8), static_cast<int>(sizeof(void*) * 8),
                sizeof(void*) == 4 ? " from bin/x86 of a 64-bit install" : "");
        return hr;
    }
    g_server = server.get();
    // The server's trace and its hosts' write audit name the client by this.
    Ptr<IOPCCommon> common;
    hr = traced("IOPCServer::QueryInterface(IOPCCommon)", server->QueryInterface(IID_IOPCCommon, common.out()));
    if (SUCCEEDED(hr)) {
        const std::wstring name = L"qvopc " + std::to_wstring(GetCurrentProcessId());
        traced("IOPCCommon::SetClientName", common->SetClientName(name.c_str()));
    }
    return S_OK;
}

HRESULT addItems(IOPCServer* server, const std::vector<std::string>& names, DWORD rate, bool active, Items& out,
                 float deadband)
{
    DWORD revised = 0;
    HRESULT hr = traced("IOPCServer::AddGroup", server->AddGroup(L"qvopc", active, rate, 1, nullptr, &deadband, 0,
                                                                 &out.hGroup, &revised, IID_IUnknown, out.group.pp()));
    if (FAILED(hr)) return hr;
    Ptr<IOPCItemMgt> mgt;
    hr = traced("IUnknown::QueryInterface", out.group->QueryInterface(IID_IOPCItemMgt, mgt.out()));
    if (FAILED(hr)) return hr;
    std::vector<std::wstring> ids;
    for (auto& n : names) ids.push_back(wide(n));
    std::vector<OPCITEMDEF> defs(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = &ids[i][0];
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = traced("IOPCItemMgt::AddItems", mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors));
    if (FAILED(hr)) return hr;
    HRESULT first = S_OK;
    for (size_t i = 0; i < names.size(); ++i) {
        if (FAILED(errors[i])) {
            printItemError(names[i], errors[i]);
            if (SUCCEEDED(first)) first = errors[i];
            ++out.failed;
        } else {
            out.handles.push_back(results[i].hServer);
            out.types.push_back(results[i].vtCanonicalDataType);
            out.names.push_back(names[i]);
        }
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return out.handles.empty() ? (FAILED(first) ? first : E_FAIL) : S_OK;
}

ShutdownWatch::~ShutdownWatch()
{
    // After a shutdown or a lost connection nobody is left to hear an Unadvise.
    if (cp_ && !shutdown_.load() && SUCCEEDED(lost_))
        traced("IConnectionPoint::Unadvise(IOPCShutdown)", cp_->Unadvise(cookie_));
    // Else a stub still holds this object: it lets go now, not at CoUninitialize.
    CoDisconnectObject(static_cast<IOPCShutdown*>(this), 0);
    CloseHandle(event_);
}

void ShutdownWatch::start(IOPCServer* server)
{
    server_ = server;
    Ptr<IConnectionPointContainer> cpc;
    if (FAILED(server->QueryInterface(IID_IConnectionPointContainer, cpc.out()))) return;
    if (FAILED(traced("IConnectionPointContainer::FindConnectionPoint(IOPCShutdown)",
                      cpc->FindConnectionPoint(IID_IOPCShutdown, cp_.pp()))))
        return;
    if (FAILED(traced("IConnectionPoint::Advise(IOPCShutdown)", cp_->Advise(this, &cookie_)))) cp_.reset();
}

HRESULT STDMETHODCALLTYPE ShutdownWatch::ShutdownRequest(LPCWSTR reason)
{
    reason_ = narrow(reason);
    shutdown_ = true;
    SetEvent(event_);
    return S_OK;
}

int ShutdownWatch::report()
{
    fflush(stdout);
    if (shutdown_.load())
        fprintf(stderr, "qvopc: the server is shutting down%s%s\n", reason_.empty() ? "" : ": ", reason_.c_str());
    else
        fprintf(stderr, "qvopc: the connection to the server is lost: %s\n", localErrorText(lost_).c_str());
    fflush(stderr);
    return kNoServer;
}

int ShutdownWatch::wait(int seconds)
{
    // A server that dies sends nothing: it is asked for its status every 2 s.
    const DWORD start = GetTickCount(), total = static_cast<DWORD>(seconds) * 1000;
    for (DWORD elapsed = 0; elapsed < total; elapsed = GetTickCount() - start) {
        const DWORD slice = total - elapsed < 2000 ? total - elapsed : 2000;
        if (WaitForSingleObject(event_, slice) == WAIT_OBJECT_0) return report();
        const HRESULT hr = pingServer(server_);
        if (lostConnection(hr)) {
            lost_ = hr;
            return report();
        }
    }
    return shutdown_.load() ? report() : kOk;
}

int ShutdownWatch::ended(HRESULT hr)
{
    if (shutdown_.load()) return report();
    if (!lostConnection(hr)) return kOk;
    lost_ = hr;
    return report();
}

} // namespace qvopc
