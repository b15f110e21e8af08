// Item value conversions and change detection with the percent deadband.
#include <cmath>
#include <limits>
#include "DataIoFixture.h"
#include "dataio/DataIo.h"

using namespace qv;
using namespace qvtest;

namespace {

VARIANT vArrayI4(ULONG n)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ARRAY | VT_I4;
    V_ARRAY(&v) = SafeArrayCreateVector(VT_I4, 0, n);
    return v;
}

} // namespace

TEST_F(DataIoTest, ReadValueConvertsToTheRequestedType)
{
    makeTag("Flow", vR8(2.5));
    makeTag("Big", vR8(1e6));
    auto g = makeGroup();
    OPCHANDLE plain = addItem(*g, "Flow", 1);
    OPCHANDLE text = addItem(*g, "Flow", 2, VT_BSTR);
    OPCHANDLE small = addItem(*g, "Big", 3, VT_I2);

    LockGuard lock(App().globalLock);
    Variant v;
    WORD q = 0xFFFF;
    FILETIME t{1, 1};
    EXPECT_EQ(g->findItem(plain)->readValue(v.get(), &q, &t), S_OK);
    EXPECT_EQ(v.vt(), VT_R8);
    EXPECT_EQ(q, 0xC0);
    EXPECT_EQ(t.dwLowDateTime, g->findItem(plain)->timestamp.dwLowDateTime);

    v.clear();
    EXPECT_EQ(g->findItem(text)->readValue(v.get(), &q, nullptr), S_OK);
    ASSERT_EQ(v.vt(), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(v.get())).substr(0, 3), L"2.5"); // decimal separator of the prefix locale

    v.clear();
    q = 0xC0;
    HRESULT hr = g->findItem(small)->readValue(v.get(), &q, nullptr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(v.vt(), VT_EMPTY); // no value in a type the client did not ask for
    // The read never changes the item.
    EXPECT_EQ(V_VT(g->findItem(small)->value.get()), VT_R8);
}

TEST_F(DataIoTest, ReadValueWithoutReadRightWritesNothing)
{
    makeTag("Flow", vR8(2.5));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "Flow", 1);
    LockGuard lock(App().globalLock);
    g->findItem(h)->accessRights = OPC_WRITEABLE;
    Variant v;
    WORD q = 0x77;
    EXPECT_EQ(g->findItem(h)->readValue(v.get(), &q, nullptr), OPC_E_BADRIGHTS);
    EXPECT_EQ(q, 0x77);
    EXPECT_EQ(v.vt(), VT_EMPTY);
}

TEST_F(DataIoTest, CheckWriteConvertsToTheCanonicalTypeAndChangesNothing)
{
    makeTag("Count", vI4(7));
    makeTag("Loose", VARIANT{}); // canonical VT_EMPTY
    makeTag("Level", vR8(1), false);
    auto g = makeGroup();
    OPCHANDLE count = addItem(*g, "Count", 1);
    OPCHANDLE loose = addItem(*g, "Loose", 2);
    OPCHANDLE ro = addItem(*g, "Level", 3);
    clearChanged(*g);

    LockGuard lock(App().globalLock);
    Variant in;
    *in = vStr(L"12");
    EXPECT_EQ(g->findItem(count)->checkWrite(in.get()), S_OK);
    EXPECT_EQ(in.vt(), VT_I4); // the caller sees the converted value
    EXPECT_EQ(V_I4(in.get()), 12);
    EXPECT_EQ(asI4(g->findItem(count)->value), 7); // only what the host accepts enters
    EXPECT_FALSE(g->findItem(count)->changed);

    Variant bad;
    *bad = vStr(L"twelve");
    EXPECT_EQ(g->findItem(count)->checkWrite(bad.get()), DISP_E_TYPEMISMATCH);

    Variant s;
    *s = vStr(L"free");
    EXPECT_EQ(g->findItem(loose)->checkWrite(s.get()), S_OK);
    EXPECT_EQ(s.vt(), VT_BSTR);

    Variant r(vR8(5));
    EXPECT_EQ(g->findItem(ro)->checkWrite(r.get()), OPC_E_BADRIGHTS);
}

TEST_F(DataIoTest, CheckWriteChecksTheArrayShape)
{
    makeTag("Arr", vArrayI4(4));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "Arr", 1);
    LockGuard lock(App().globalLock);
    Variant three;
    *three = vArrayI4(3);
    EXPECT_EQ(g->findItem(h)->checkWrite(three.get()), OPC_E_RANGE);
    Variant four;
    *four = vArrayI4(4);
    EXPECT_EQ(g->findItem(h)->checkWrite(four.get()), S_OK);
    // Same count, other lower bound: another shape.
    SAFEARRAYBOUND b{4, 1};
    Variant shifted;
    V_VT(shifted.get()) = VT_ARRAY | VT_I4;
    V_ARRAY(shifted.get()) = SafeArrayCreate(VT_I4, 1, &b);
    EXPECT_EQ(g->findItem(h)->checkWrite(shifted.get()), OPC_E_RANGE);
}

// The deadband rules, one row per host update: value, quality, expected flag afterwards.
TEST_F(DataIoTest, DeadbandTable)
{
    struct Row { double value; WORD quality; bool changed; };
    struct Case { const char* what; float deadband; std::vector<Row> rows; bool everyUpdate = false; };
    const std::vector<Case> cases = {
        {"deadband 0: a change, never a repeat", 0.0f, {{100, 0xC0, true}, {100, 0xC0, false}, {100.5, 0xC0, true}}},
        {"10 % against the last reported value", 10.0f, {{100, 0xC0, true}, {105, 0xC0, false}, {112, 0xC0, true},
                                                          {120, 0xC0, false}, {124, 0xC0, true}}},
        {"reference 0", 10.0f, {{0, 0xC0, true}, {0, 0xC0, false}, {0.001, 0xC0, true}}},
        {"quality change counts whatever the deadband", 50.0f, {{100, 0xC0, true}, {100, 0x40, true}, {101, 0x40, false}}},
        {"a change stays pending until reported", 10.0f, {{100, 0xC0, true}, {150, 0xC0, true}, {155, 0xC0, true}}},
        {"every update reported: repeats, and moves past the deadband", 10.0f,
         {{100, 0xC0, true}, {100, 0xC0, true}, {105, 0xC0, false}, {112, 0xC0, true}, {112, 0xC0, true}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD tag = makeTag("T", vR8(-1));
        auto g = makeGroup(true, 500, c.deadband);
        OPCHANDLE h = addItem(*g, "T", 1);
        QV_SetReportEveryUpdate(c.everyUpdate);
        for (size_t i = 0; i < c.rows.size(); ++i) {
            SCOPED_TRACE(i);
            const Row& r = c.rows[i];
            // Each row starts from a reported state so the flag shows this update alone.
            if (std::string(c.what).find("pending") == std::string::npos) clearChanged(*g);
            ASSERT_TRUE(update(tag, vR8(r.value), r.quality));
            EXPECT_EQ(changed(*g, h), r.changed);
        }
        QV_SetReportEveryUpdate(FALSE);
        QV_RemoveTag(tag);
    }
}

// Changes are judged against what the client last received, so no change is lost before
// the group's next scan.
TEST_F(DataIoTest, ChangesAreJudgedAgainstWhatTheClientLastReceived)
{
    DWORD tag = makeTag("T", vR8(0));
    auto g = makeGroup(true, 500, 10.0f);
    OPCHANDLE h = addItem(*g, "T", 1);
    update(tag, vR8(100)); // first update after adding: always a change (nothing delivered yet)
    EXPECT_TRUE(changed(*g, h));
    clearChanged(*g); // delivered: 100 is what the client has
    EXPECT_DOUBLE_EQ(asR8(item(*g, h)->lastReported), 100.0);
    update(tag, vR8(108));
    EXPECT_FALSE(changed(*g, h));
    update(tag, vR8(150));
    EXPECT_TRUE(changed(*g, h));
    update(tag, vR8(151)); // within 10 % of 150, but the client still has 100
    EXPECT_TRUE(changed(*g, h));
    EXPECT_DOUBLE_EQ(asR8(item(*g, h)->lastReported), 100.0);
    update(tag, vR8(105)); // back within the band of what the client has: nothing to tell
    EXPECT_FALSE(changed(*g, h));
    // Good to bad, then a small move with the same bad quality: the bad quality is still news.
    update(tag, vR8(100), 0x00);
    EXPECT_TRUE(changed(*g, h));
    update(tag, vR8(101), 0x00);
    EXPECT_TRUE(changed(*g, h));
    clearChanged(*g);
    update(tag, vR8(102), 0x00);
    EXPECT_FALSE(changed(*g, h));
}

TEST_F(DataIoTest, NonNumericTagsChangeWhenTheirValueDoes)
{
    DWORD s = makeTag("S", vStr(L"a"));
    VARIANT b;
    VariantInit(&b);
    V_VT(&b) = VT_BOOL;
    V_BOOL(&b) = VARIANT_TRUE;
    DWORD flag = makeTag("B", b);
    auto g = makeGroup(true, 500, 50.0f);
    OPCHANDLE hs = addItem(*g, "S", 1);
    OPCHANDLE hb = addItem(*g, "B", 2);
    update(s, vStr(L"a"));
    update(flag, b);
    clearChanged(*g);
    update(s, vStr(L"a")); // repeats: no change, whatever the deadband
    update(flag, b);
    EXPECT_FALSE(changed(*g, hs));
    EXPECT_FALSE(changed(*g, hb));
    update(s, vStr(L"b"));
    V_BOOL(&b) = VARIANT_FALSE;
    update(flag, b);
    EXPECT_TRUE(changed(*g, hs));
    EXPECT_TRUE(changed(*g, hb));
}

TEST_F(DataIoTest, DeadbandTestHandlesConversionFailureAndNaN)
{
    VARIANT r = vR8(100);
    EXPECT_FALSE(deadbandExceeded(r, vR8(101), 10.0f));
    EXPECT_TRUE(deadbandExceeded(r, vR8(1e300), 10.0f)); // not a float: counted as a change
    Variant text;
    *text = vStr(L"abc");
    EXPECT_TRUE(deadbandExceeded(r, *text, 10.0f));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A NaN reference must not freeze the item: the next real number is a change.
    EXPECT_TRUE(deadbandExceeded(vR8(nan), vR8(5), 10.0f));
    EXPECT_TRUE(deadbandExceeded(r, vR8(nan), 10.0f));
    EXPECT_FALSE(deadbandExceeded(vR8(nan), vR8(nan), 10.0f));
    EXPECT_TRUE(deadbandExceeded(vR8(INFINITY), vR8(5), 10.0f));
}

TEST_F(DataIoTest, UpdatesReachInactiveItemsAndRecreatedTags)
{
    DWORD tag = makeTag("Plant.T", vI4(1));
    auto g = makeGroup(false);
    OPCHANDLE h = addItem(*g, "Plant.T", 1, VT_EMPTY, false);
    clearChanged(*g);
    update(tag, vI4(2), 0x40);
    EXPECT_TRUE(changed(*g, h));
    EXPECT_EQ(asI4(item(*g, h)->value), 2);
    EXPECT_EQ(item(*g, h)->quality, 0x40);

    QV_RemoveTag(tag);
    DWORD again = makeTag("Plant.T", vI4(30));
    clearChanged(*g);
    ASSERT_TRUE(update(again, vI4(31)));
    EXPECT_TRUE(changed(*g, h));
    EXPECT_EQ(asI4(item(*g, h)->value), 31);

    // Case-insensitive matching after QV_SetMatchCase(0).
    OPCHANDLE other = addItem(*g, "PLANT.t", 2);
    clearChanged(*g);
    update(again, vI4(32));
    EXPECT_FALSE(changed(*g, other));
    QV_SetMatchCase(FALSE);
    update(again, vI4(33));
    EXPECT_TRUE(changed(*g, other));
    EXPECT_EQ(asI4(item(*g, other)->value), 33);
}
