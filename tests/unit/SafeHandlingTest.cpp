// What a client cannot reach through COM: a checked task-memory size, the string enumerator
// under two threads, and a tag removal that runs out of memory part way.
#include <atomic>
#include <cstdlib>
#include <thread>
#include "DataIoFixture.h"
#include "qvsrvkit.h"
#include "server/IOPCEnumString.h"

using namespace qv;
using namespace qvtest;

namespace {
std::atomic<long> g_failAfter{-1}; // allocations left before one fails, on g_failThread only
std::atomic<DWORD> g_failThread{0};
} // namespace

// The library's operator delete frees with free().
void* operator new(size_t n)
{
    void* p = g_failThread == GetCurrentThreadId() && g_failAfter.fetch_sub(1) == 0 ? nullptr : std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

TEST_F(DataIoTest, SyncReadOfACountWhoseSizeWrapsFailsCleanly)
{
    makeTag("A", vI4(1));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "A", 1);
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    // 0x08000000 states of 32 bytes wrap a 32-bit size to 0 (on 64-bit: a 4 GiB request).
    if (sizeof(void*) == 4) {
        EXPECT_EQ(itf<IOPCSyncIO>(*g, IID_IOPCSyncIO)->Read(OPC_DS_CACHE, 0x08000000, &h, &states, &errors),
                  E_OUTOFMEMORY);
    }
    EXPECT_FALSE(TaskArray<OPCITEMSTATE>(SIZE_MAX / 8));
}

TEST(EnumStringTest, TwoThreadsShareOneEnumerator)
{
    ComPtr<IOPCEnumString> e(newServerObject<IOPCEnumString>(nullptr, std::vector<std::string>(40, "abc")), false);
    std::atomic<int> bad{0};
    auto work = [&] {
        for (int n = 0; n < 3000; ++n) {
            LPOLESTR got[3] = {};
            ULONG k = 0;
            bad += FAILED(e->Next(3, got, &k)) || k > 3;
            for (ULONG i = 0; i < k && i < 3; ++i) {
                bad += !got[i] || wcscmp(got[i], L"abc") != 0;
                CoTaskMemFree(got[i]);
            }
            e->Skip(n % 5);
            if (n % 7 == 0) e->Reset();
            IEnumString* c = nullptr;
            if (n % 11 == 0 && e->Clone(&c) == S_OK) c->Release();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(StoreTest, RemoveTagThatRunsOutOfMemoryChangesNothing)
{
    // "A" has a child tag (a branch takes its place); "P.Q.R" takes two branches with it.
    for (long k = 0; k < 200; ++k) {
        App().tags.clear();
        const DWORD hA = QV_CreateTag("A", vI4(1), 0xC0, TRUE), hR = QV_CreateTag("P.Q.R", vI4(1), 0xC0, TRUE);
        QV_CreateTag("A.B", vI4(1), 0xC0, TRUE);
        g_failAfter = k;
        g_failThread = GetCurrentThreadId();
        const BOOL removedA = QV_RemoveTag(hA), removedR = QV_RemoveTag(hR);
        g_failThread = 0;
        LockGuard lock(App().globalLock);
        EXPECT_EQ(App().tags.lookup("A"), removedA ? nullptr : App().tags.resolve(hA)) << k;
        EXPECT_EQ(App().tags.lookup("P.Q.R"), removedR ? nullptr : App().tags.resolve(hR)) << k;
        EXPECT_TRUE(App().tags.lookup("A.B") && (App().root.findChild("P", true) == nullptr) == !!removedR) << k;
        if (removedA && removedR) return;
    }
    FAIL() << "the removals never succeeded";
}
