// The group enumerator: snapshots, the references they hold, Next/Skip/Reset/Clone.
#include "GroupTestSupport.h"
#include "group/OPCGroupEnumerator.h"

using namespace qv;
using qvtest::ComRef;

namespace {

class GroupEnumeratorTest : public qvtest::ServerFixture {
protected:
    void addThree()
    {
        for (const wchar_t* n : {L"One", L"Two", L"Three"}) {
            OPCHANDLE h = 0;
            ComRef<IUnknown> g;
            ASSERT_EQ(addGroup(n, g.out(), &h), S_OK);
            handles.push_back(h);
        }
    }
    HRESULT groupEnum(IEnumUnknown** out, OPCENUMSCOPE scope = OPC_ENUM_ALL)
    {
        return srv->CreateGroupEnumerator(scope, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(out));
    }
    // The name of an enumerated group (and gives its reference back).
    static std::string nameOf(IUnknown* g)
    {
        IOPCGroupStateMgt* st = nullptr;
        std::string out = "?";
        if (g->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&st)) == S_OK) {
            LPWSTR name = nullptr;
            if (st->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr) == S_OK) {
                out = qvtest::narrowW(name);
                CoTaskMemFree(name);
            }
            st->Release();
        }
        g->Release();
        return out;
    }
    std::vector<OPCHANDLE> handles;
};

} // namespace

TEST_F(GroupEnumeratorTest, NextHandsOutWhatIsLeftThenSFalse)
{
    addThree();
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    IUnknown* got[2] = {};
    ULONG n = 99;
    ASSERT_EQ(e->Next(2, got, &n), S_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(nameOf(got[0]), "One");
    EXPECT_EQ(nameOf(got[1]), "Two");
    // A short batch says so (the COM contract that the standard stubs rely on).
    ASSERT_EQ(e->Next(2, got, &n), S_FALSE);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(nameOf(got[0]), "Three");
    EXPECT_EQ(e->Next(2, got, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got[0], nullptr);
    // One element without a count pointer is allowed; more than one is not.
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(nameOf(got[0]), "One");
    EXPECT_EQ(e->Next(2, got, nullptr), E_POINTER);
}

TEST_F(GroupEnumeratorTest, NextWithCeltZeroWritesNothing)
{
    addThree();
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    IUnknown* sentinel = reinterpret_cast<IUnknown*>(0x1234);
    ULONG n = 7;
    EXPECT_EQ(e->Next(0, &sentinel, &n), S_OK);
    EXPECT_EQ(sentinel, reinterpret_cast<IUnknown*>(0x1234));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(e->Next(0, nullptr, nullptr), S_OK);
    // The position did not move.
    IUnknown* g = nullptr;
    ASSERT_EQ(e->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "One");
}

TEST_F(GroupEnumeratorTest, EmptyEnumeratorAnswersSFalseEvenWithoutCount)
{
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    IUnknown* got[5] = {};
    EXPECT_EQ(e->Next(5, got, nullptr), S_FALSE);
    EXPECT_EQ(e->Skip(0), S_FALSE);
    // The string enumerator answers the same call with E_POINTER.
    ComRef<IEnumString> s;
    ASSERT_EQ(srv->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
    LPOLESTR str[5] = {};
    EXPECT_EQ(s->Next(5, str, nullptr), E_POINTER);
}

TEST_F(GroupEnumeratorTest, SkipRefusesToReachTheEnd)
{
    addThree();
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    EXPECT_EQ(e->Skip(3), S_FALSE);
    IUnknown* g = nullptr;
    ASSERT_EQ(e->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "One");
    ASSERT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    ASSERT_EQ(e->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "Three");
    EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);
}

TEST_F(GroupEnumeratorTest, CloneContinuesFromTheSamePositionIndependently)
{
    addThree();
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    IUnknown* g = nullptr;
    ASSERT_EQ(e->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "One");
    ComRef<IEnumUnknown> c;
    EXPECT_EQ(e->Clone(nullptr), E_INVALIDARG);
    ASSERT_EQ(e->Clone(&c.p), S_OK);
    ASSERT_EQ(c->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "Two");
    ASSERT_EQ(c->Reset(), S_OK);
    // The original is where it was.
    ASSERT_EQ(e->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "Two");
    ASSERT_EQ(c->Next(1, &g, nullptr), S_OK);
    EXPECT_EQ(nameOf(g), "One");
}

TEST_F(GroupEnumeratorTest, QueryInterfaceAnswersItsOwnInterfacesOnly)
{
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    EXPECT_EQ(e->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    ComRef<IUnknown> u;
    ASSERT_EQ(e->QueryInterface(IID_IUnknown, u.out()), S_OK);
    EXPECT_EQ(u.p, static_cast<IUnknown*>(e.p));
    ComRef<IUnknown> none;
    EXPECT_EQ(e->QueryInterface(IID_IEnumString, none.out()), E_NOINTERFACE);
    EXPECT_EQ(none.p, nullptr);
}

TEST_F(GroupEnumeratorTest, SnapshotHoldsItsGroupsAndTheServer)
{
    addThree();
    const LONG serverRefs = server->refCount.load();
    ComRef<IEnumUnknown> e;
    ASSERT_EQ(groupEnum(&e.p), S_OK);
    // Every reference on the enumerator is one on the server.
    EXPECT_EQ(server->refCount.load(), serverRefs + 1);
    ComRef<IEnumUnknown> c;
    ASSERT_EQ(e->Clone(&c.p), S_OK);
    EXPECT_EQ(server->refCount.load(), serverRefs + 2);
    c.reset();
    EXPECT_EQ(server->refCount.load(), serverRefs + 1);

    // Groups added later are not in the snapshot.
    ComRef<IUnknown> late;
    ASSERT_EQ(addGroup(L"Late", late.out()), S_OK);
    // A group the snapshot lists is still referenced: RemoveGroup answers OPC_S_INUSE, and
    // the enumerator still hands it out.
    std::weak_ptr<OPCGroup> one = groupNamed("One");
    EXPECT_EQ(srv->RemoveGroup(handles[0], FALSE), OPC_S_INUSE);
    IUnknown* got[4] = {};
    ULONG n = 0;
    ASSERT_EQ(e->Next(4, got, &n), S_FALSE);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(nameOf(got[0]), "One");
    EXPECT_EQ(nameOf(got[1]), "Two");
    EXPECT_EQ(nameOf(got[2]), "Three");
    EXPECT_FALSE(one.expired());
    // Releasing the enumerator gives the last reference back: the removed group goes.
    e.reset();
    EXPECT_TRUE(one.expired());
    EXPECT_EQ(server->refCount.load(), serverRefs);
    // The others are not referenced any more: RemoveGroup destroys them at once.
    EXPECT_EQ(srv->RemoveGroup(handles[1], FALSE), S_OK);
}

TEST_F(GroupEnumeratorTest, DirectlyBuiltEnumeratorWithoutServer)
{
    auto g = OPCGroup::create();
    OPCGroupEnumerator* e = newServerObject<OPCGroupEnumerator>(nullptr);
    ASSERT_TRUE(e->append(g.get()));
    EXPECT_EQ(g->refCount.load(), 1);
    IUnknown* got = nullptr;
    ULONG n = 0;
    ASSERT_EQ(e->Next(1, &got, &n), S_OK);
    EXPECT_EQ(got, static_cast<IUnknown*>(g.get()));
    EXPECT_EQ(g->refCount.load(), 2);
    got->Release();
    EXPECT_EQ(e->Release(), 0u);
    EXPECT_EQ(g->refCount.load(), 0);
}
