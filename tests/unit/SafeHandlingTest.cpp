// What a client cannot reach through COM: checked task-memory sizes, the string enumerator
// under two threads, and a tag removal that runs out of memory part way.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include "DataIoFixture.h"
#include "qvsrvkit.h"
#include "server/IOPCEnumString.h"

using namespace qv;
using namespace qvtest;

namespace {

// Allocation failure on demand, for the test's own thread only.
std::atomic<DWORD> g_failThread{0};
std::atomic<long> g_failAfter{-1};

} // namespace

void* operator new(size_t n)
{
    if (g_failThread.load(std::memory_order_relaxed) == GetCurrentThreadId() && g_failAfter.fetch_sub(1) == 0)
        throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

TEST_F(DataIoTest, TaskArraysRefuseCountsWhoseSizeOverflows)
{
    EXPECT_FALSE(TaskArray<OPCITEMSTATE>(SIZE_MAX / 8));
    EXPECT_FALSE(TaskArray<HRESULT>(SIZE_MAX / 2));
    TaskArray<LPWSTR> strings(2);
    ASSERT_TRUE(strings);
    strings[0] = widen("freed with the array");

    makeTag("A", vI4(1));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "A", 1);
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);
    // 0x08000000 states of 32 bytes wrap a 32-bit size to 0 (on 64-bit: a 4 GiB request).
    if (sizeof(void*) == 4) {
        OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
        const HRESULT hr = io->Read(OPC_DS_CACHE, 0x08000000, &h, &states, &errors);
        EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == E_INVALIDARG) << std::hex << hr;
        EXPECT_EQ(states, nullptr);
        EXPECT_EQ(errors, nullptr);
    }
}

TEST(EnumStringTest, TwoThreadsShareOneEnumerator)
{
    auto* e = new IOPCEnumString();
    for (int i = 0; i < 40; ++i) e->add("s" + std::to_string(100 + i));
    e->AddRef();
    std::atomic<int> bad{0};
    auto work = [&] {
        for (int n = 0; n < 3000; ++n) {
            LPOLESTR got[3] = {};
            ULONG fetched = 0;
            HRESULT hr = e->Next(3, got, &fetched);
            if (FAILED(hr) || fetched > 3) ++bad;
            for (ULONG i = 0; i < fetched && i < 3; ++i) {
                if (!got[i] || got[i][0] != L's' || wcslen(got[i]) != 4) ++bad;
                CoTaskMemFree(got[i]);
            }
            e->Skip(n % 5);
            if (n % 7 == 0) e->Reset();
            if (n % 11 == 0) {
                IEnumString* c = nullptr;
                if (e->Clone(&c) != S_OK || !c) ++bad;
                else c->Release();
            }
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    e->Release();
}

TEST_F(StoreTest, RemoveTagThatRunsOutOfMemoryChangesNothing)
{
    // "A" gets a child tag (its removal leaves a branch); "P.Q.R" takes two branches with it.
    bool sawFailure = false;
    for (long k = 0; k < 64; ++k) {
        App().tags.clear();
        VARIANT v = vI4(1);
        const DWORD hA = QV_CreateTag("A", v, 0xC0, TRUE);
        ASSERT_NE(QV_CreateTag("A.B", v, 0xC0, TRUE), QV_INVALID_HANDLE);
        const DWORD hR = QV_CreateTag("P.Q.R", v, 0xC0, TRUE);
        g_failAfter = k;
        g_failThread = GetCurrentThreadId();
        const BOOL removedA = QV_RemoveTag(hA);
        const BOOL removedR = QV_RemoveTag(hR);
        g_failThread = 0;
        g_failAfter = -1;

        LockGuard lock(App().globalLock);
        OPCTagStore& s = App().tags;
        EXPECT_EQ(s.lookup("A"), removedA ? nullptr : s.resolve(hA)) << k;
        EXPECT_NE(s.lookup("A.B"), nullptr) << k;
        EXPECT_EQ(s.lookup("P.Q.R"), removedR ? nullptr : s.resolve(hR)) << k;
        EXPECT_EQ(App().root.findChild("P", true) == nullptr, removedR != FALSE) << k;
        if (removedA && removedR) {
            EXPECT_TRUE(sawFailure);
            return;
        }
        sawFailure = true;
    }
    FAIL() << "removal never succeeded";
}
