// The server's IOPCShutdown connection point in-process: advise rules, the request itself,
// and Advise/Unadvise racing the request.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include "TestSupport.h"
#include "qvopc.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

class TestSink : public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCShutdown)) {
            *ppv = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); } // on the stack
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override
    {
        if (App().globalLock.heldByMe()) lockHeld = true;
        if (!reason || *reason) badReason = true;
        ++calls;
        if (onCall) onCall();
        return S_OK;
    }
    std::atomic<LONG> refs{1};
    std::atomic<int> calls{0};
    std::atomic<bool> lockHeld{false};
    std::atomic<bool> badReason{false};
    std::function<void()> onCall;
};

class Shutdown : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = qvtest::newServer();
        ASSERT_EQ(server_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc_)), S_OK);
        ASSERT_EQ(cpc_->FindConnectionPoint(IID_IOPCShutdown, &cp_), S_OK);
    }
    void TearDown() override
    {
        if (cp_) cp_->Release();
        if (cpc_) cpc_->Release();
        qvtest::deleteServer(server_);
    }
    OPCServer* server_ = nullptr;
    IConnectionPointContainer* cpc_ = nullptr;
    IConnectionPoint* cp_ = nullptr;
};

} // namespace

TEST_F(Shutdown, AdviseLimitAndUnadviseRules)
{
    TestSink first, second;
    DWORD cookie = 0;
    ASSERT_EQ(cp_->Advise(&first, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(first.refs.load(), 2);
    EXPECT_EQ(cp_->Advise(&second, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second.refs.load(), 1);
    EXPECT_EQ(cp_->Unadvise(2), CONNECT_E_NOCONNECTION);

    server_->sendShutdownRequest();
    EXPECT_EQ(first.calls.load(), 1);
    EXPECT_EQ(second.calls.load(), 0);
    EXPECT_FALSE(first.badReason.load());
    EXPECT_FALSE(first.lockHeld.load());
    EXPECT_EQ(first.refs.load(), 2); // the sink stays advised after the request

    EXPECT_EQ(cp_->Unadvise(1), S_OK);
    EXPECT_EQ(first.refs.load(), 1);
    EXPECT_EQ(cp_->Unadvise(1), CONNECT_E_NOCONNECTION);
    server_->sendShutdownRequest();
    EXPECT_EQ(first.calls.load(), 1);

    ASSERT_EQ(cp_->Advise(&second, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    IEnumConnections* conns = reinterpret_cast<IEnumConnections*>(0x1);
    EXPECT_EQ(cp_->EnumConnections(&conns), E_NOTIMPL);
    // Destroying the server releases the advised sink.
    cp_->Release();
    cpc_->Release();
    cp_ = nullptr;
    cpc_ = nullptr;
    qvtest::deleteServer(server_);
    server_ = nullptr;
    EXPECT_EQ(second.refs.load(), 1);
}

TEST_F(Shutdown, NoContainerNoSinkNothingHappens)
{
    OPCServer* bare = qvtest::newServer();
    bare->sendShutdownRequest();
    qvtest::deleteServer(bare);
    server_->sendShutdownRequest(); // container without sink
}

TEST_F(Shutdown, SinkMayUnadviseFromInsideTheRequest)
{
    TestSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(cp_->Advise(&sink, &cookie), S_OK);
    HRESULT inner = E_FAIL;
    sink.onCall = [&] { inner = cp_->Unadvise(cookie); };
    server_->sendShutdownRequest();
    EXPECT_EQ(inner, S_OK);
    EXPECT_EQ(sink.calls.load(), 1);
    EXPECT_EQ(sink.refs.load(), 1);
}

TEST_F(Shutdown, AdviseRacesTheRequest)
{
    TestSink sink;
    std::atomic<bool> stop{false};
    std::thread requester([&] {
        while (!stop.load()) server_->sendShutdownRequest();
    });
    int advised = 0;
    for (int i = 0; i < 3000; ++i) {
        DWORD cookie = 0;
        if (cp_->Advise(&sink, &cookie) == S_OK) ++advised;
        EXPECT_EQ(cp_->Unadvise(1), S_OK);
    }
    stop = true;
    requester.join();
    EXPECT_EQ(advised, 3000);
    EXPECT_EQ(sink.refs.load(), 1); // every reference taken for a request was given back
    EXPECT_FALSE(sink.lockHeld.load());
}
