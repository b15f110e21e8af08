// qvopc's Alarms and Events commands: events, areas, ack.
#include <ocidl.h>
#include <mutex>
#include "QvopcTool.h"

namespace qvopc {

extern std::mutex g_printMutex;

namespace {

class EventSink : public StackSink<IOPCEventSink, IID_IOPCEventSink> {
public:
    // A server that went without Unadvise leaves a stub holding the sink: it lets go now.
    ~EventSink() { CoDisconnectObject(this, 0); }
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE, BOOL refresh, BOOL last, DWORD count, ONEVENTSTRUCT* ev) override
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < count; ++i) {
            const ONEVENTSTRUCT& e = ev[i];
            if (quiet) {
                if (refresh) found.push_back({narrow(e.szSource), narrow(e.szConditionName), e.ftActiveTime, e.dwCookie});
                continue;
            }
            std::string state;
            if (e.dwEventType == OPC_CONDITION_EVENT)
                state = std::string("  [") + (e.wNewState & OPC_CONDITION_ACTIVE ? "active" : "inactive") +
                        ((e.wNewState & OPC_CONDITION_ACKED) || !e.bAckRequired ? "" : ", unacknowledged") +
                        (e.wChangeMask == OPC_CHANGE_ACK_STATE ? ", acknowledged by " + narrow(e.szActorID) : "") + "]";
            printf("%s%s  %s  %s / %s  severity %lu  %s%s\n", refresh ? "(refresh) " : "", timeText(e.ftTime).c_str(),
                   narrow(e.szSource).c_str(), narrow(e.szConditionName).c_str(), narrow(e.szSubconditionName).c_str(),
                   e.dwSeverity, narrow(e.szMessage).c_str(), state.c_str());
        }
        if (refresh && last) {
            ++refreshesDone;
            if (!quiet) printf("(refresh complete)\n");
        }
        fflush(stdout);
        return S_OK;
    }

    struct Activation {
        std::string source, condition;
        FILETIME activeTime;
        DWORD cookie;
    };
    bool quiet = false;           // ack: collect the refresh, print nothing
    std::vector<Activation> found; // under g_printMutex
    std::atomic<int> refreshesDone{0};
};

// A subscription with the sink advised on it.
struct EventSession {
    Ptr<IOPCEventServer> es;
    Ptr<IUnknown> sub;
    Ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    HRESULT open(IOPCServer* server, EventSink* sink)
    {
        HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCEventServer, es.out()));
        if (FAILED(hr)) { fail("the server does not offer alarms and events", hr); return hr; }
        DWORD bt = 0, ms = 0;
        hr = traced("IOPCEventServer::CreateEventSubscription", es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IUnknown, sub.pp(), &bt, &ms));
        if (FAILED(hr)) { fail("CreateEventSubscription", hr); return hr; }
        Ptr<IConnectionPointContainer> cpc;
        hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IConnectionPointContainer, cpc.out()));
        if (FAILED(hr)) { fail("the subscription offers no connection point", hr); return hr; }
        hr = traced("IConnectionPointContainer::FindConnectionPoint", cpc->FindConnectionPoint(IID_IOPCEventSink, cp.pp()));
        if (FAILED(hr)) { fail("FindConnectionPoint", hr); return hr; }
        hr = traced("IConnectionPoint::Advise", cp->Advise(sink, &cookie));
        if (FAILED(hr)) { fail("Advise", hr); return hr; }
        return S_OK;
    }
    HRESULT refresh()
    {
        Ptr<IOPCEventSubscriptionMgt> mgt;
        HRESULT hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IOPCEventSubscriptionMgt, mgt.out()));
        if (SUCCEEDED(hr)) hr = traced("IOPCEventSubscriptionMgt::Refresh", mgt->Refresh(cookie));
        if (FAILED(hr)) fail("Refresh", hr);
        return hr;
    }
    // Only events of these severities, areas and sources (empty: any).
    HRESULT filter(DWORD low, DWORD high, const std::string& area, const std::string& source)
    {
        Ptr<IOPCEventSubscriptionMgt> mgt;
        HRESULT hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IOPCEventSubscriptionMgt, mgt.out()));
        std::wstring a = wide(area), s = wide(source);
        LPWSTR areas[1] = {&a[0]}, sources[1] = {&s[0]};
        DWORD noCategory = 0;
        if (SUCCEEDED(hr))
            hr = traced("IOPCEventSubscriptionMgt::SetFilter",
                        mgt->SetFilter(OPC_ALL_EVENTS, 0, &noCategory, low, high, area.empty() ? 0 : 1, areas,
                                       source.empty() ? 0 : 1, sources));
        if (FAILED(hr)) fail("SetFilter", hr);
        return hr;
    }
    HRESULT close() { return cp.get() ? traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie)) : S_OK; }
};

} // namespace

int cmdEvents(IOPCServer* server, const Options& o)
{
    ShutdownWatch shutdown;
    shutdown.start(server);
    EventSink sink;
    EventSession session;
    HRESULT hr = session.open(server, &sink);
    if (SUCCEEDED(hr) && (o.has("--severity") || o.has("--area") || o.has("--source")))
        hr = session.filter(o.lowSeverity, o.highSeverity, o.area, o.source);
    if (SUCCEEDED(hr) && o.refresh) hr = session.refresh();
    if (FAILED(hr)) return exitCodeFor(hr);
    printf("listening for events for %d s\n", o.seconds);
    fflush(stdout);
    if (int rc = shutdown.wait(o.seconds)) return rc;
    return shutdown.ended(session.close());
}

// Areas and sources of the event server below PATH (the root when empty), one per line.
int cmdAreas(IOPCServer* server, const std::string& path)
{
    Ptr<IOPCEventServer> es;
    HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCEventServer, es.out()));
    if (FAILED(hr)) return fail("the server does not offer alarms and events", hr);
    Ptr<IOPCEventAreaBrowser> b;
    hr = traced("IOPCEventServer::CreateAreaBrowser",
                es->CreateAreaBrowser(IID_IOPCEventAreaBrowser, reinterpret_cast<IUnknown**>(b.pp())));
    if (FAILED(hr)) return fail("CreateAreaBrowser", hr);
    if (!path.empty()) {
        std::wstring w = wide(path);
        hr = traced("IOPCEventAreaBrowser::ChangeBrowsePosition", b->ChangeBrowsePosition(OPCAE_BROWSE_TO, w.c_str()));
        if (FAILED(hr)) return fail("ChangeBrowsePosition", hr);
    }
    for (OPCAEBROWSETYPE type : {OPC_AREA, OPC_SOURCE}) {
        Ptr<IEnumString> en;
        hr = traced("IOPCEventAreaBrowser::BrowseOPCAreas", b->BrowseOPCAreas(type, L"", en.pp()));
        if (FAILED(hr)) return fail("BrowseOPCAreas", hr);
        if (!en.get()) continue;
        LPOLESTR name = nullptr;
        ULONG got = 0;
        while (en->Next(1, &name, &got) == S_OK && got == 1) {
            printf("%s %s\n", type == OPC_AREA ? "area  " : "source", narrow(name).c_str());
            CoTaskMemFree(name);
        }
    }
    return kOk;
}

namespace {

// Whether the event server knows the source and, if so, whether it has the condition: "" when
// both are known, else what to tell the operator (the code for the exit in *rc).
std::string checkSourceCondition(IOPCEventServer* es, const std::string& source, const std::string& condition, int* rc)
{
    std::wstring src = wide(source);
    DWORD count = 0;
    LPWSTR* names = nullptr;
    const HRESULT hr = traced("IOPCEventServer::QuerySourceConditions", es->QuerySourceConditions(&src[0], &count, &names));
    *rc = kItemsFailed;
    if (lostConnection(hr)) {
        *rc = kNoServer;
        return "the server cannot be reached (" + localErrorText(hr) + ")";
    }
    if (FAILED(hr)) return "the server knows no source " + source + " (" + errorText(hr) + ")";
    std::string known;
    bool found = false;
    for (DWORD i = 0; i < count; ++i) {
        const std::string name = narrow(names[i]);
        found = found || name == condition;
        known += (i ? ", " : "") + ("\"" + name + "\"");
        CoTaskMemFree(names[i]);
    }
    CoTaskMemFree(names);
    if (found) return "";
    return source + " has no condition \"" + condition + "\"" + (known.empty() ? " (it has none)" : " (it has " + known + ")");
}

std::string loggedInUser()
{
    char name[256] = {};
    DWORD len = sizeof name;
    return GetUserNameA(name, &len) ? name : "qvopc";
}

} // namespace

int cmdAck(IOPCServer* server, const std::string& source, const std::string& condition, const Options& o)
{
    EventSink sink;
    sink.quiet = true;
    EventSession session;
    HRESULT hr = session.open(server, &sink);
    if (FAILED(hr)) return exitCodeFor(hr);
    int rc = kOk;
    const std::string unknown = checkSourceCondition(session.es.get(), source, condition, &rc);
    if (!unknown.empty()) {
        session.close();
        fprintf(stderr, "qvopc: %s\n", unknown.c_str());
        return rc;
    }
    hr = session.refresh();
    if (FAILED(hr)) return exitCodeFor(hr);
    for (int waited = 0; sink.refreshesDone == 0 && waited < 10000; waited += 50) Sleep(50);
    const bool refreshed = sink.refreshesDone != 0;
    session.close();
    if (!refreshed) {
        // Without the refresh's end the condition's state is unknown: not "neither active nor ...".
        fprintf(stderr, "qvopc: the server's refresh did not end within 10 s: %s / %s not acknowledged\n",
                source.c_str(), condition.c_str());
        return kItemsFailed;
    }
    std::vector<EventSink::Activation> found;
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        found = sink.found;
    }
    const EventSink::Activation* a = nullptr;
    for (const EventSink::Activation& x : found)
        if (x.source == source && x.condition == condition) a = &x;
    if (!a) {
        fprintf(stderr, "qvopc: %s / %s is neither active nor waiting for acknowledgement\n", source.c_str(), condition.c_str());
        return kItemsFailed;
    }
    std::wstring src = wide(source), cond = wide(condition), text = wide(o.comment);
    std::wstring who = wide(o.has("--user") ? o.user : loggedInUser());
    LPWSTR ps = &src[0], pc = &cond[0];
    FILETIME t = a->activeTime;
    DWORD cookie = a->cookie;
    HRESULT* errors = nullptr;
    hr = traced("IOPCEventServer::AckCondition",
                        session.es->AckCondition(1, &who[0], &text[0], &ps, &pc, &t, &cookie, &errors));
    if (FAILED(hr)) return fail("AckCondition", hr);
    HRESULT e = errors[0];
    CoTaskMemFree(errors);
    printf("%s / %s: %s\n", source.c_str(), condition.c_str(),
           e == S_OK ? "acknowledged" : errorText(e).c_str());
    return FAILED(e) ? kItemsFailed : kOk;
}

} // namespace qvopc
