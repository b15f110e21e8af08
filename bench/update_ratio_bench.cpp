// QV_UpdateTag against a minimal store (lock, array slot, VariantCopy, quality, time stamp),
// measured in alternation; also the clock calls and host updates from several threads.
//   update_ratio_bench [rounds=7] [bigTags=1000000]
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <functional>
#include <algorithm>
#include <type_traits>
#include <vector>
#include "qvopc.h"
#include "qvsrvkit.h"
#include "group/OPCGroup.h"
#include "core/OPCServerApp.h"
#include "BenchStats.h"

using namespace qv;

namespace {

using ClockFn = VOID(WINAPI*)(LPFILETIME);

ClockFn preciseClock()
{
    FARPROC p = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    return p ? reinterpret_cast<ClockFn>(reinterpret_cast<void*>(p)) : &GetSystemTimeAsFileTime;
}

// The baseline: what any store must do per update (with the given clock). With kFollowed, the
// floor for a store whose tags have followers: each slot also has one item elsewhere in memory
// that the update writes (two random accesses instead of one).
template <bool kFollowed = false>
class MinimalStoreOf {
public:
    struct alignas(64) Item {
        VARIANT v;
        FILETIME t;
        WORD q;
        bool changed;
    };
    explicit MinimalStoreOf(size_t n, ClockFn clock = &GetSystemTimeAsFileTime) : clock_(clock), slots_(n)
    {
        InitializeCriticalSection(&cs_);
        for (auto& s : slots_) {
            VariantInit(&s.v);
            if constexpr (kFollowed) {
                s.item = new Item();
                VariantInit(&s.item->v);
            }
        }
    }
    ~MinimalStoreOf()
    {
        for (auto& s : slots_) {
            VariantClear(&s.v);
            if constexpr (kFollowed) {
                VariantClear(&s.item->v);
                delete s.item;
            }
        }
        DeleteCriticalSection(&cs_);
    }
    __attribute__((noinline)) bool update(DWORD i, const VARIANT& v, WORD q)
    {
        EnterCriticalSection(&cs_);
        auto& s = slots_[i];
        if constexpr (kFollowed) __builtin_prefetch(s.item, 1);
        bool ok = SUCCEEDED(VariantCopy(&s.v, const_cast<VARIANT*>(&v)));
        s.q = q;
        clock_(&s.t);
        if constexpr (kFollowed) {
            ok = ok && SUCCEEDED(VariantCopy(&s.item->v, &s.v));
            s.item->q = q;
            s.item->t = s.t;
            s.item->changed = true;
        }
        LeaveCriticalSection(&cs_);
        return ok;
    }

private:
    struct Slot {
        VARIANT v;
        WORD q = 0;
        FILETIME t{};
    };
    struct FollowedSlot : Slot {
        Item* item = nullptr;
    };
    CRITICAL_SECTION cs_;
    ClockFn clock_;
    std::vector<std::conditional_t<kFollowed, FollowedSlot, Slot>> slots_;
};
using MinimalStore = MinimalStoreOf<>;
using MinimalFollowedStore = MinimalStoreOf<true>;

// One group holding one active item per tag: every tag has exactly one follower.
struct Followed {
    std::vector<DWORD> tags;
    std::shared_ptr<OPCGroup> group;

    Followed(const char* prefix, int n, bool withItems = true)
    {
        tags.reserve(n);
        group = OPCGroup::create();
        group->AddRef();
        group->active = TRUE;
        group->updateRate = App().updatePeriod.load();
        group->setListed(true);
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        for (int i = 0; i < n; ++i) {
            char name[64];
            snprintf(name, sizeof name, "%s.Area%04d.Tag%07d", prefix, i / 1000, i);
            V_R8(&v) = i;
            tags.push_back(QV_CreateTag(name, v, 0xC0, TRUE));
            if (!withItems) continue;
            LockGuard lock(App().globalLock);
            std::unique_ptr<OPCItem> it(new OPCItem());
            it->itemId = it->tagName = name;
            it->clientHandle = static_cast<OPCHANDLE>(i);
            it->canonicalType = VT_R8;
            it->active = TRUE;
            it->accessRights = 3;
            group->addItem(std::move(it));
        }
    }
    ~Followed()
    {
        group->destroy();
        group->Release();
        for (DWORD t : tags) QV_RemoveTag(t);
    }
};

template <class F>
double timeMs(F&& f)
{
    double t0 = benchNowMs();
    f();
    return benchNowMs() - t0;
}

void clocks()
{
    auto precise = reinterpret_cast<ClockFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    auto viaSystemTime = [](LPFILETIME f) {
        SYSTEMTIME st;
        GetSystemTime(&st);
        SystemTimeToFileTime(&st, f);
    };
    struct C { const char* name; std::function<void(LPFILETIME)> fn; };
    std::vector<C> cs = {{"GetSystemTimeAsFileTime", GetSystemTimeAsFileTime},
                         {"GetSystemTime+SystemTimeToFileTime", viaSystemTime}};
    if (precise) cs.push_back({"GetSystemTimePreciseAsFileTime", precise});
    const int n = 200000;
    std::vector<std::vector<double>> ns(cs.size());
    for (int round = 0; round < 5; ++round)
        for (size_t k = 0; k < cs.size(); ++k) {
            FILETIME f;
            double ms = timeMs([&] { for (int i = 0; i < n; ++i) cs[k].fn(&f); });
            ns[k].push_back(ms * 1e6 / n);
        }
    for (size_t k = 0; k < cs.size(); ++k) {
        // Resolution: the smallest step seen between consecutive distinct readings.
        LONGLONG best = -1;
        FILETIME a, b;
        cs[k].fn(&a);
        for (int i = 0; i < 100000; ++i) {
            cs[k].fn(&b);
            LONGLONG d = ((LONGLONG(b.dwHighDateTime) << 32) | b.dwLowDateTime) -
                         ((LONGLONG(a.dwHighDateTime) << 32) | a.dwLowDateTime);
            if (d > 0 && (best < 0 || d < best)) best = d;
            a = b;
        }
        std::sort(ns[k].begin(), ns[k].end());
        printf("clock %-36s %6.1f ns per call (median), finest step %.1f us\n", cs[k].name, ns[k][ns[k].size() / 2],
               best / 10.0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? atoi(argv[1]) : 7;
    const int big = argc > 2 ? atoi(argv[2]) : 1000000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMalloc* m = nullptr;
    CoGetMalloc(1, &m);
    App().taskAllocator = m;
    clocks();

    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    {
        // One tag, one follower, updated in a tight loop.
        Followed f("One", 1);
        MinimalStore ms(1), mp(1, preciseClock());
        const int n = 300000;
        std::vector<double> r, rp;
        for (int round = -1; round < rounds; ++round) {
            double a = timeMs([&] { for (int i = 0; i < n; ++i) { V_R8(&v) = i; QV_UpdateTag(f.tags[0], v, 0xC0); } });
            double b = timeMs([&] { for (int i = 0; i < n; ++i) { V_R8(&v) = i; ms.update(0, v, 0xC0); } });
            double c = timeMs([&] { for (int i = 0; i < n; ++i) { V_R8(&v) = i; mp.update(0, v, 0xC0); } });
            if (round >= 0) {
                r.push_back(a / b);
                rp.push_back(a / c);
            }
            if (round == rounds - 1)
                printf("one tag: QV_UpdateTag %.1f ns, minimal store %.1f ns (%.1f ns with the precise clock)\n",
                       a * 1e6 / n, b * 1e6 / n, c * 1e6 / n);
        }
        printRatio("QV_UpdateTag / minimal store, 1 follower", r, "<= 1.3");
        printRatio("QV_UpdateTag / minimal store (precise clock), 1 follower", rp, "(info)");
    }
    {
        // VT_BSTR values: the host side's own string work is the same in both.
        Followed f("Str", 1);
        MinimalStore ms(1);
        const int n = 200000;
        VARIANT s;
        VariantInit(&s);
        V_VT(&s) = VT_BSTR;
        V_BSTR(&s) = SysAllocString(L"a value of twenty-four c");
        std::vector<double> r;
        for (int round = -1; round < rounds; ++round) {
            double a = timeMs([&] { for (int i = 0; i < n; ++i) QV_UpdateTag(f.tags[0], s, 0xC0); });
            double b = timeMs([&] { for (int i = 0; i < n; ++i) ms.update(0, s, 0xC0); });
            if (round >= 0) r.push_back(a / b);
            if (round == rounds - 1)
                printf("one VT_BSTR tag: QV_UpdateTag %.1f ns, minimal store %.1f ns\n", a * 1e6 / n, b * 1e6 / n);
        }
        VariantClear(&s);
        printRatio("QV_UpdateTag / minimal store, VT_BSTR, 1 follower", r, "(info)");
    }
    for (int withItems = 0; big > 0 && withItems < 2; ++withItems) {
        // Many tags in random order: what the cache misses cost (the tags alone, then with one
        // follower each).
        Followed f("Big", big, withItems != 0);
        MinimalStore ms(static_cast<size_t>(big), preciseClock());
        std::unique_ptr<MinimalFollowedStore> floor;
        if (withItems) floor.reset(new MinimalFollowedStore(static_cast<size_t>(big), preciseClock()));
        std::vector<DWORD> order(static_cast<size_t>(big));
        for (int i = 0; i < big; ++i) order[i] = static_cast<DWORD>(i);
        std::shuffle(order.begin(), order.end(), std::mt19937(12345));
        // Both walk an array in sequence: the store's slot number, or the tag's handle.
        std::vector<DWORD> handles(order.size());
        for (size_t k = 0; k < order.size(); ++k) handles[k] = f.tags[order[k]];
        std::vector<double> r, rf;
        for (int round = -1; round < rounds; ++round) {
            double a = timeMs([&] { for (DWORD h : handles) { V_R8(&v) = h; QV_UpdateTag(h, v, 0xC0); } });
            double b = timeMs([&] { for (DWORD i : order) { V_R8(&v) = i; ms.update(i, v, 0xC0); } });
            if (floor) {
                double c = timeMs([&] { for (DWORD i : order) { V_R8(&v) = i; floor->update(i, v, 0xC0); } });
                if (round >= 0) rf.push_back(c / b);
            }
            if (round >= 0) r.push_back(a / b);
            if (round == rounds - 1)
                printf("%d tags, random order, %s: QV_UpdateTag %.1f ns, minimal store %.1f ns\n", big,
                       withItems ? "1 follower each" : "no follower", a * 1e6 / big, b * 1e6 / big);
        }
        char label[96];
        snprintf(label, sizeof label, "QV_UpdateTag / minimal store (precise clock), %d tags random, %s", big,
                 withItems ? "1 follower" : "no follower");
        printRatio(label, r, withItems ? "<= 2.5" : "(info)");
        if (floor) {
            snprintf(label, sizeof label, "floor: minimal store with one item each / minimal store, %d tags", big);
            printRatio(label, rf, "(info)");
        }
    }
    {
        // Host threads on disjoint tags: total updates per second against one thread.
        const int perThread = 1000, n = 200000;
        Followed f("Thr", 4 * perThread);
        auto run = [&](int threads) {
            std::vector<std::thread> ts;
            double ms = timeMs([&] {
                for (int t = 0; t < threads; ++t)
                    ts.emplace_back([&, t] {
                        VARIANT x;
                        VariantInit(&x);
                        V_VT(&x) = VT_R8;
                        for (int i = 0; i < n; ++i) {
                            V_R8(&x) = i;
                            QV_UpdateTag(f.tags[t * perThread + i % perThread], x, 0xC0);
                        }
                    });
                for (auto& t : ts) t.join();
            });
            return threads * n / ms; // updates per ms
        };
        std::vector<double> r2, r4;
        for (int round = -1; round < rounds; ++round) {
            double one = run(1), two = run(2), four = run(4);
            if (round >= 0) {
                r2.push_back(two / one);
                r4.push_back(four / one);
            }
        }
        printRatio("host update throughput, 2 threads / 1", r2, "(info)");
        printRatio("host update throughput, 4 threads / 1", r4, "(info)");
    }
    return 0;
}
