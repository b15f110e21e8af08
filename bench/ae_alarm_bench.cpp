// Alarm throughput, out of process, against the test host (registered in the prefix by
// scripts/bench.sh): ten clients, each with one event subscription and a sink in this process.
// Each round the host runs a burst of plain updates (a tag without limits) and then a burst of
// the same number of updates that each change a level alarm's state, so each one is an event
// for all ten sinks. Prints per round the host's QV_UpdateTag median and burst rate for both,
// and the transitions per second that reached all ten sinks; then the ratio of the host's
// cost of an alarm-raising update to a plain one.
// Then the area case: 10,000 tags with limits in ten areas, each update raising or clearing
// one tag's alarm; the ten subscriptions first without a filter (every event to every sink),
// then each filtering a different area (an event to one sink). Prints the host's cost of an
// alarm-raising update with filters against without (ratio) and the events delivered per
// second in both.
// Then the flood: the host raises 50,000 simple events back to back; prints per subscriber
// how many arrived and how many the server reported dropped (its "System Message" notices).
//   ae_alarm_bench [rounds=5] [updatesPerBurst=5000] [maxSize=0] [flood]   (flood: only the flood)
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>
#include "BenchStats.h"
#include "qvopc.h"
#include "tests/host/TestHostIds.h"
#include "TestHostDriver.h"

namespace {

std::string g_dir;
constexpr int kSubscribers = 10;

class CountingSink : public qvbench::StaticSink<IOPCEventSink> {
public:
    CountingSink() : StaticSink(IID_IOPCEventSink) {}
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE, BOOL, BOOL, DWORD n, ONEVENTSTRUCT* evs) override
    {
        const double now = benchNowMs();
        std::lock_guard<std::mutex> g(m);
        if (events == 0) first = now;
        for (DWORD i = 0; i < n; ++i) {
            // The server's notice of events it had to drop counts them in its text.
            if (evs[i].szSource && wcscmp(evs[i].szSource, L"Server") == 0 && evs[i].szMessage)
                reported += wcstoul(evs[i].szMessage, nullptr, 10);
            else ++events;
        }
        last = now;
        return S_OK;
    }
    void reset()
    {
        std::lock_guard<std::mutex> g(m);
        events = 0;
        reported = 0;
    }
    std::mutex m;
    DWORD events = 0, reported = 0;
    double first = 0, last = 0;
};

long logSize()
{
    FILE* f = fopen((g_dir + "\\qvtesthost.log").c_str(), "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

std::string logLine(long offset, const char* key, int timeoutMs = 60000)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        FILE* f = fopen((g_dir + "\\qvtesthost.log").c_str(), "rb");
        if (f) {
            fseek(f, offset, SEEK_SET);
            char buf[512];
            while (fgets(buf, sizeof buf, f)) {
                if (const char* p = strstr(buf, key)) {
                    fclose(f);
                    return p;
                }
            }
            fclose(f);
        }
        Sleep(50);
    }
    return "";
}

void commands(const std::vector<std::string>& lines) { qvbench::hostCommands(g_dir, lines); }

struct Burst {
    double medianUs = 0, totalMs = 0;
};

Burst burst(const char* tag, int n)
{
    const long off = logSize();
    commands({std::string("burst ") + tag + " " + std::to_string(n) + " 10 60"});
    Burst b;
    std::string line = logLine(off, "burst:");
    const char* m = strstr(line.c_str(), "median=");
    const char* t = strstr(line.c_str(), "total=");
    if (m) b.medianUs = atof(m + 7);
    if (t) b.totalMs = atof(t + 6);
    return b;
}

// Waits until every sink received `each` events; the events per second from the first to the
// last of them in all sinks (0 when some are missing).
double deliveredPerSecond(CountingSink* sinks, DWORD each)
{
    double firstAny = 1e300, lastAll = 0;
    DWORD total = 0;
    for (int i = 0; i < kSubscribers; ++i) {
        CountingSink& s = sinks[i];
        for (int waited = 0; waited < 60000; waited += 20) {
            {
                std::lock_guard<std::mutex> g(s.m);
                if (s.events >= each) break;
            }
            Sleep(20);
        }
        std::lock_guard<std::mutex> g(s.m);
        if (s.events < each) return 0;
        total += s.events;
        firstAny = std::min(firstAny, s.first);
        lastAll = std::max(lastAll, s.last);
    }
    return lastAll > firstAny ? total / ((lastAll - firstAny) / 1000.0) : 0;
}

void areaCase(int rounds, CountingSink* sinks, const std::vector<IOPCEventSubscriptionMgt*>& mgts)
{
    constexpr int kAreas = kSubscribers, kPerArea = 1000, kTags = kAreas * kPerArea;
    commands({"grid " + std::to_string(kAreas) + " " + std::to_string(kPerArea)});
    const std::string burstCmd = "burstgrid " + std::to_string(kAreas) + " " + std::to_string(kPerArea) + " " +
                                 std::to_string(kTags);
    auto setFilters = [&](bool byArea) {
        for (int i = 0; i < kSubscribers; ++i) {
            std::wstring area = L"Grid.A" + std::to_wstring(i);
            LPWSTR areas[1] = {&area[0]};
            mgts[i]->SetFilter(OPC_ALL_EVENTS, 0, nullptr, 0, 1000, byArea ? 1 : 0, byArea ? areas : nullptr, 0, nullptr);
        }
    };
    printf("\n%d tags with limits in %d areas, %d subscribers, %d alarm-raising updates per burst\n", kTags, kAreas,
           kSubscribers, kTags);
    printf("%-6s %-10s %14s %12s %16s\n", "round", "filters", "host median", "host total", "delivered/s");
    std::vector<double> medianRatios, totalRatios, ratesNone, ratesArea;
    int bursts = 0;
    for (int r = 0; r < rounds; ++r) {
        Burst b[2];
        for (int byArea = 0; byArea < 2; ++byArea) {
            setFilters(byArea != 0);
            for (int i = 0; i < kSubscribers; ++i) sinks[i].reset();
            // Every other burst raises every tag's alarm, the next clears them.
            const long off = logSize();
            commands({burstCmd + ((bursts++ & 1) ? " 60 10" : " 10 60")});
            std::string line = logLine(off, "burst:");
            if (const char* m = strstr(line.c_str(), "median=")) b[byArea].medianUs = atof(m + 7);
            if (const char* t = strstr(line.c_str(), "total=")) b[byArea].totalMs = atof(t + 6);
            const double rate = deliveredPerSecond(sinks, byArea ? kPerArea : kTags);
            printf("%-6d %-10s %12.2fus %10.1fms %16.0f%s\n", r + 1, byArea ? "one area" : "none", b[byArea].medianUs,
                   b[byArea].totalMs, rate, rate > 0 ? "" : " (events missing)");
            fflush(stdout);
            if (rate > 0) (byArea ? ratesArea : ratesNone).push_back(rate);
        }
        if (b[0].medianUs > 0) medianRatios.push_back(b[1].medianUs / b[0].medianUs);
        if (b[0].totalMs > 0) totalRatios.push_back(b[1].totalMs / b[0].totalMs);
    }
    for (auto* v : {&ratesNone, &ratesArea}) std::sort(v->begin(), v->end());
    if (!ratesNone.empty() && !ratesArea.empty())
        printf("events delivered per second: no filter min %.0f, median %.0f, max %.0f; one area each min %.0f, "
               "median %.0f, max %.0f\n",
               ratesNone.front(), ratesNone[ratesNone.size() / 2], ratesNone.back(), ratesArea.front(),
               ratesArea[ratesArea.size() / 2], ratesArea.back());
    printRatio("alarm-raising QV_UpdateTag, 10 area filters / no filter, host median", medianRatios, "report");
    printRatio("alarm-raising burst, 10 area filters / no filter, host total", totalRatios, "report");
    setFilters(false);
}

// 50,000 simple events raised back to back; every subscriber is healthy. limit: the host's
// event queue limit for the run (0: the default). Why a healthy subscriber still loses most of
// the burst at the default limit: ae/EventJournal.h.
void floodCase(CountingSink* sinks, int limit = 0)
{
    constexpr int kFlood = 50000;
    for (int i = 0; i < kSubscribers; ++i) sinks[i].reset();
    if (limit) commands({"eventlimit " + std::to_string(limit)});
    const long off = logSize();
    commands({"simpleburst Bench.Flood " + std::to_string(kFlood)});
    std::string line = logLine(off, "simpleburst:");
    const char* t = strstr(line.c_str(), "total=");
    // Settled once no sink's count moved for two seconds.
    DWORD lastSum = 0;
    for (int quiet = 0, waited = 0; quiet < 2000 && waited < 120000; waited += 100) {
        Sleep(100);
        DWORD sum = 0;
        for (int i = 0; i < kSubscribers; ++i) {
            std::lock_guard<std::mutex> g(sinks[i].m);
            sum += sinks[i].events + sinks[i].reported;
        }
        quiet = sum == lastSum ? quiet + 100 : 0;
        lastSum = sum;
    }
    std::vector<double> got, told, rate;
    for (int i = 0; i < kSubscribers; ++i) {
        std::lock_guard<std::mutex> g(sinks[i].m);
        got.push_back(sinks[i].events);
        told.push_back(sinks[i].reported);
        if (sinks[i].last > sinks[i].first) rate.push_back(sinks[i].events / ((sinks[i].last - sinks[i].first) / 1000.0));
    }
    for (auto* v : {&got, &told, &rate}) std::sort(v->begin(), v->end());
    printf("\nflood: %d simple events raised in %.1f ms, %d healthy subscribers, queue limit %s\n", kFlood,
           t ? atof(t + 6) : 0.0, kSubscribers, limit ? std::to_string(limit).c_str() : "default");
    printf("received per subscriber: min %.0f, median %.0f, max %.0f; reported dropped: min %.0f, median %.0f, "
           "max %.0f\n",
           got.front(), got[got.size() / 2], got.back(), told.front(), told[told.size() / 2], told.back());
    if (!rate.empty())
        printf("events delivered per second per subscriber: min %.0f, median %.0f, max %.0f\n", rate.front(),
               rate[rate.size() / 2], rate.back());
    fflush(stdout);
    if (limit) commands({"eventlimit 10000"});
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    const int n = argc > 2 ? atoi(argv[2]) : 5000; // below a subscription's queue bound of 10,000
    const DWORD maxSize = argc > 3 ? static_cast<DWORD>(atoi(argv[3])) : 0; // the subscriptions' maximum size
    const bool floodOnly = argc > 4 && strcmp(argv[4], "flood") == 0;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_dir = self;
    g_dir = g_dir.substr(0, g_dir.find_last_of('\\'));
    SetEnvironmentVariableA("QV_TEST_LOGDIR", g_dir.c_str());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    static CountingSink sinks[kSubscribers];
    std::vector<IUnknown*> held;
    std::vector<IOPCEventSubscriptionMgt*> mgts;
    for (int i = 0; i < kSubscribers; ++i) {
        IOPCEventServer* es = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCEventServer,
                                      reinterpret_cast<void**>(&es));
        if (FAILED(hr)) {
            printf("cannot reach the test host: 0x%08lx\n", static_cast<unsigned long>(hr));
            return 1;
        }
        IUnknown* sub = nullptr;
        DWORD bt = 0, ms = 0;
        IConnectionPointContainer* cpc = nullptr;
        IConnectionPoint* cp = nullptr;
        DWORD cookie = 0;
        hr = es->CreateEventSubscription(TRUE, 0, maxSize, i, IID_IUnknown, &sub, &bt, &ms);
        if (SUCCEEDED(hr)) hr = sub->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(IID_IOPCEventSink, &cp);
        if (SUCCEEDED(hr)) hr = cp->Advise(&sinks[i], &cookie);
        if (FAILED(hr)) {
            printf("subscription %d failed: 0x%08lx\n", i, static_cast<unsigned long>(hr));
            return 1;
        }
        IOPCEventSubscriptionMgt* mgt = nullptr;
        if (FAILED(sub->QueryInterface(IID_IOPCEventSubscriptionMgt, reinterpret_cast<void**>(&mgt)))) {
            printf("subscription %d has no IOPCEventSubscriptionMgt\n", i);
            return 1;
        }
        mgts.push_back(mgt);
        held.insert(held.end(), {es, sub, cpc, cp, mgt});
    }
    commands({"create Bench.Alarm r8 10 rw", "limits Bench.Alarm -1000 -999 50 1000", "create Bench.Plain r8 10 rw"});
    if (floodOnly) {
        floodCase(sinks);
        floodCase(sinks, 60000);
        rounds = 0;
    }

    printf("%d subscribers, %d updates per burst\n", kSubscribers, n);
    printf("%-6s %14s %14s %16s %16s %22s\n", "round", "plain median", "alarm median", "plain updates/s",
           "alarm updates/s", "delivered to all 10/s");
    std::vector<double> ratios, totalRatios, delivered;
    for (int r = 0; r < rounds; ++r) {
        for (CountingSink& s : sinks) s.reset();
        Burst plain = burst("Bench.Plain", n);
        Burst alarm = burst("Bench.Alarm", n);
        // Transitions per second: every one reached all the sinks.
        const double rate = deliveredPerSecond(sinks, static_cast<DWORD>(n)) / kSubscribers;
        const bool complete = rate > 0;
        printf("%-6d %12.2fus %12.2fus %16.0f %16.0f %22.0f%s\n", r + 1, plain.medianUs, alarm.medianUs,
               n / (plain.totalMs / 1000.0), n / (alarm.totalMs / 1000.0), rate, complete ? "" : " (events missing)");
        fflush(stdout);
        if (plain.medianUs > 0) ratios.push_back(alarm.medianUs / plain.medianUs);
        if (plain.totalMs > 0) totalRatios.push_back(alarm.totalMs / plain.totalMs);
        if (rate > 0) delivered.push_back(rate);
    }
    std::sort(delivered.begin(), delivered.end());
    if (!delivered.empty())
        printf("alarm transitions delivered to all %d subscribers: min %.0f, median %.0f, max %.0f per s\n",
               kSubscribers, delivered.front(), delivered[delivered.size() / 2], delivered.back());
    printRatio("alarm-raising QV_UpdateTag (10 subscribers) / plain, host median", ratios, "<= 2");
    printRatio("alarm-raising burst (10 subscribers) / plain burst, host total", totalRatios, "<= 2");
    commands({"remove Bench.Alarm", "remove Bench.Plain"});
    if (!floodOnly) {
        floodCase(sinks);
        floodCase(sinks, 60000);
        areaCase(rounds, sinks, mgts);
    }
    for (auto it = held.rbegin(); it != held.rend(); ++it) (*it)->Release();
    CoUninitialize();
    return 0;
}
