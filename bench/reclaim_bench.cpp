// What killed clients leave behind in the host, out of process, against the test host
// (registered in the prefix by scripts/bench.sh):
//   reclaim_bench [clients=20] [batch=10] [rounds=2]
// Starts `clients` processes of itself (`--victim`), each holding one object of every kind a
// client can get (server interfaces, groups, a removed group still referenced, item, group,
// browse and connection-point enumerators and clones, points and containers of their own,
// an event subscription) with a data callback advised, kills them all (TerminateProcess)
// and prints the host's private memory and threads before, while they lived, and after they
// were reclaimed, with how many of their server objects were freed (the host's trace).
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"
#include "TestHostDriver.h"

namespace {

std::string g_dir;
const size_t kItems = 500;

class DataSink : public qvbench::StaticSink<IOPCDataCallback> {
public:
    DataSink() : StaticSink(IID_IOPCDataCallback) {}
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                           FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

#define TAKE(expr) do { if (FAILED(expr)) { printf("failed: %s\n", #expr); fflush(stdout); return 1; } } while (0)

// Holds one object of every kind until killed; prints "holding N" once it does.
int victim()
{
    static DataSink sink;
    std::vector<IUnknown*> held;
    auto keep = [&](void* p) { held.push_back(static_cast<IUnknown*>(p)); };
    void* p = nullptr;
    IOPCServer* server = nullptr;
    TAKE(CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, reinterpret_cast<void**>(&server)));
    keep(server);
    for (const IID* iid : {&IID_IOPCCommon, &IID_IOPCBrowse, &IID_IOPCItemIO, &IID_IOPCItemProperties}) {
        TAKE(server->QueryInterface(*iid, &p));
        keep(p);
    }
    OPCHANDLE hg = 0;
    DWORD rate = 0;
    IOPCItemMgt* removed = nullptr;
    TAKE(server->AddGroup(L"removed", TRUE, 1000, 1, nullptr, nullptr, 0, &hg, &rate, IID_IOPCItemMgt,
                          reinterpret_cast<IUnknown**>(&removed)));
    keep(removed);
    server->RemoveGroup(hg, FALSE);
    IOPCItemMgt* im = nullptr;
    TAKE(server->AddGroup(L"data", TRUE, 100, 2, nullptr, nullptr, 0, &hg, &rate, IID_IOPCItemMgt,
                          reinterpret_cast<IUnknown**>(&im)));
    keep(im);
    // Enough items that what a victim leaves behind shows in the host's memory (the item
    // enumerator holds copies of them too).
    std::vector<OPCITEMDEF> def(kItems);
    for (size_t i = 0; i < def.size(); ++i) {
        def[i].szAccessPath = const_cast<LPWSTR>(L"");
        def[i].szItemID = const_cast<LPWSTR>(i == 0 ? L"Sim.Ramp" : L"Plant.Line.Flow");
        def[i].bActive = TRUE;
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    TAKE(im->AddItems(static_cast<DWORD>(def.size()), def.data(), &res, &err));
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    TAKE(im->QueryInterface(IID_IOPCSyncIO2, &p));
    keep(p);
    TAKE(im->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(&p)));
    keep(p);
    IEnumUnknown* groups = nullptr;
    TAKE(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, reinterpret_cast<IUnknown**>(&groups)));
    keep(groups);
    TAKE(groups->Clone(reinterpret_cast<IEnumUnknown**>(&p)));
    keep(p);
    TAKE(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<IUnknown**>(&p)));
    keep(p);
    IOPCBrowseServerAddressSpace* browse = nullptr;
    TAKE(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse)));
    keep(browse);
    TAKE(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, reinterpret_cast<IEnumString**>(&p)));
    keep(p);
    IOPCEventServer* es = nullptr;
    TAKE(server->QueryInterface(IID_IOPCEventServer, reinterpret_cast<void**>(&es)));
    keep(es);
    DWORD bt = 0, ms = 0;
    IUnknown* sub = nullptr;
    TAKE(es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IOPCEventSubscriptionMgt, &sub, &bt, &ms));
    keep(sub);
    const std::pair<IUnknown*, const IID*> containers[] = {
        {server, &IID_IOPCShutdown}, {im, &IID_IOPCDataCallback}, {sub, &IID_IOPCEventSink}};
    for (const auto& c : containers) {
        IConnectionPointContainer* cpc = nullptr;
        TAKE(c.first->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)));
        keep(cpc);
        IEnumConnectionPoints* points = nullptr;
        TAKE(cpc->EnumConnectionPoints(&points));
        keep(points);
        TAKE(points->Next(1, reinterpret_cast<IConnectionPoint**>(&p), nullptr));
        keep(p);
        IConnectionPoint* cp = nullptr;
        TAKE(cpc->FindConnectionPoint(*c.second, &cp));
        keep(cp);
        TAKE(cp->GetConnectionPointContainer(reinterpret_cast<IConnectionPointContainer**>(&p)));
        keep(p);
        DWORD cookie = 0;
        if (c.second == &IID_IOPCDataCallback) TAKE(cp->Advise(&sink, &cookie));
    }
    printf("holding %u\n", static_cast<unsigned>(held.size()));
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

long fileSize(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

std::string readFrom(const std::string& path, long offset)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return text;
    fseek(f, offset, SEEK_SET);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

size_t countOf(const std::string& text, const char* key)
{
    size_t n = 0;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) ++n;
    return n;
}

void commands(const std::vector<std::string>& lines) { qvbench::hostCommands(g_dir, lines); }

// The host's "resources:" line, taken now.
std::string resources()
{
    const std::string log = g_dir + "\\qvtesthost.log";
    const long off = fileSize(log);
    commands({"resources"});
    for (int i = 0; i < 200; ++i) {
        std::string t = readFrom(log, off);
        size_t at = t.find("resources:");
        if (at != std::string::npos) return t.substr(at + 11, t.find('\n', at) - at - 12);
        Sleep(50);
    }
    return "(no answer)";
}

long field(const std::string& line, const char* key)
{
    size_t at = line.find(key);
    return at == std::string::npos ? -1 : strtol(line.c_str() + at + strlen(key), nullptr, 10);
}

} // namespace

int main(int argc, char** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (argc > 1 && !strcmp(argv[1], "--victim")) return victim();
    const int clients = argc > 1 ? atoi(argv[1]) : 20;
    const int batch = argc > 2 ? atoi(argv[2]) : 10;
    const int rounds = argc > 3 ? atoi(argv[3]) : 2;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_dir = self;
    g_dir = g_dir.substr(0, g_dir.find_last_of('\\'));
    SetEnvironmentVariableA("QV_TEST_LOGDIR", g_dir.c_str());
    const std::string trace = g_dir + "\\qvtesthost.trace";

    IOPCServer* keeper = nullptr; // keeps the host running throughout
    HRESULT hr = CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&keeper));
    if (FAILED(hr)) {
        printf("cannot reach the test host: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    Sleep(2000);
    const std::string before = resources();

    // Round two shows what round one left for good: memory the first victims' objects freed is
    // reused (the heap keeps its pages), memory they still hold is not.
    std::string previous = before;
    for (int round = 1; round <= rounds; ++round) {
        const long traceStart = fileSize(trace);
        std::vector<PROCESS_INFORMATION> victims;
        const std::string out = g_dir + "\\reclaim_bench.victim";
        int held = 0;
        unsigned each = 0;
        for (int i = 0; i < clients; i += batch) {
            std::vector<std::string> outs;
            for (int j = i; j < clients && j < i + batch; ++j) {
                std::string path = out + std::to_string(j);
                SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
                HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
                std::string cmd = std::string("\"") + self + "\" --victim";
                STARTUPINFOA si{};
                si.cb = sizeof(si);
                si.dwFlags = STARTF_USESTDHANDLES;
                si.hStdOutput = si.hStdError = f;
                PROCESS_INFORMATION pi{};
                if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
                    victims.push_back(pi);
                    outs.push_back(path);
                }
                CloseHandle(f);
            }
            // The batch holds everything before the next one starts.
            for (const std::string& path : outs) {
                for (int w = 0; w < 600; ++w) {
                    std::string t = readFrom(path, 0);
                    const size_t at = t.find("holding ");
                    if (at != std::string::npos) {
                        ++held;
                        each = static_cast<unsigned>(atoi(t.c_str() + at + 8));
                        break;
                    }
                    if (t.find("failed") != std::string::npos) { printf("victim: %s", t.c_str()); break; }
                    Sleep(100);
                }
            }
        }
        Sleep(2000);
        const std::string during = resources();
        const DWORD t0 = GetTickCount();
        for (PROCESS_INFORMATION& pi : victims) TerminateProcess(pi.hProcess, 9);
        for (PROCESS_INFORMATION& pi : victims) {
            WaitForSingleObject(pi.hProcess, 10000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        // Reclaimed once the keeper is the host's only client and every victim's object was freed.
        size_t freed = 0;
        std::string now;
        for (const DWORD waitFrom = GetTickCount(); GetTickCount() - waitFrom < 60000;) {
            freed = countOf(readFrom(trace, traceStart), " freed (");
            now = resources();
            if (field(now, "clients=") <= 1 && freed >= victims.size()) break;
            Sleep(250);
        }
        const DWORD reclaimMs = GetTickCount() - t0;
        Sleep(5000);
        const std::string after = resources();
        printf("== round %d of %d\n", round, rounds);
        printf("victims: %d started, %d holding every kind of object (%u references each, %u items)\n", clients, held,
               each, static_cast<unsigned>(kItems));
        printf("host before round 1: %s\n", before.c_str());
        printf("host with victims:  %s\n", during.c_str());
        printf("host 5 s after all were reclaimed (%lu ms after the kill): %s\n", static_cast<unsigned long>(reclaimMs),
               after.c_str());
        printf("server objects freed: %u of %u\n", static_cast<unsigned>(freed), static_cast<unsigned>(victims.size()));
        const long pb = field(before, "private="), pd = field(during, "private="), pa = field(after, "private=");
        const long tb = field(before, "threads="), td = field(during, "threads="), ta = field(after, "threads=");
        const long pp = field(previous, "private=");
        printf("private memory: +%ld kB with the victims, %+ld kB after (%.1f kB a victim left behind)\n", pd - pb,
               pa - pb, victims.empty() ? 0.0 : static_cast<double>(pa - pb) / victims.size());
        printf("threads: +%ld with the victims, %+ld after\n", td - tb, ta - tb);
        printf("private memory after this round against after the previous one: %+ld kB\n", pa - pp);
        fflush(stdout);
        previous = after;
    }
    keeper->Release();
    CoUninitialize();
    return 0;
}
