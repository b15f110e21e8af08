#include "TestSupport.h"
#include "addrspace/OPCTagStore.h"
#include "qvopc.h"
#include "qvsrvkit.h"

using namespace qv;
using qvtest::StoreTest;

namespace {

DWORD create(const char* name, VARIANT v, bool writeable = false, WORD q = 0xC0)
{
    DWORD h = QV_CreateTag(name, v, q, writeable);
    VariantClear(&v);
    return h;
}

std::vector<std::string> childNames(const OPCTag& node)
{
    std::vector<std::string> out;
    for (OPCTag* c : node.children) out.push_back(c->name);
    return out;
}

} // namespace

TEST_F(StoreTest, SplitNameFollowsTheDelimiterRules)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(splitName("Plant.Line.Flow", '.'), (V{"Plant", "Line", "Flow"}));
    EXPECT_EQ(splitName("Plant.", '.'), (V{"Plant"}));
    EXPECT_EQ(splitName("Plant..Flow", '.'), (V{"Plant", "", "Flow"}));
    EXPECT_TRUE(splitName("", '.').empty());
    EXPECT_EQ(fullTagName("Plant", "Line.Flow", '.'), "Plant.Line.Flow");
    EXPECT_EQ(fullTagName("Plant.", "Line.Flow", '.'), "Plant.Line.Flow");
    EXPECT_EQ(fullTagName("", "Tank1", '.'), "Tank1");
}

TEST_F(StoreTest, CreateBuildsBranchesAndRemovePrunesThem)
{
    OPCTag& root = App().root;
    DWORD flow = create("Plant.Line.Flow", qvtest::vR8(1.0));
    DWORD level = create("Plant.Line.Level", qvtest::vR8(2.0));
    ASSERT_NE(flow, QV_INVALID_HANDLE);
    ASSERT_NE(level, QV_INVALID_HANDLE);
    ASSERT_EQ(childNames(root), std::vector<std::string>{"Plant"});
    OPCTag* line = root.children[0]->children.at(0);
    EXPECT_EQ(line->name, "Line");
    EXPECT_EQ(line->handle, kInvalidTagHandle);
    EXPECT_EQ(childNames(*line), (std::vector<std::string>{"Plant.Line.Flow", "Plant.Line.Level"}));

    EXPECT_TRUE(QV_RemoveTag(flow));
    EXPECT_EQ(childNames(root), std::vector<std::string>{"Plant"});
    EXPECT_TRUE(QV_RemoveTag(level));
    EXPECT_TRUE(root.children.empty());
    // The removed handle no longer designates anything, even after a new tag is made.
    DWORD again = create("Plant.Line.Flow", qvtest::vR8(3.0));
    EXPECT_NE(again, flow);
    EXPECT_FALSE(QV_UpdateTag(flow, qvtest::vR8(1.0), 0xC0));
    EXPECT_FALSE(QV_RemoveTag(flow));
    EXPECT_FALSE(QV_RemoveTag(QV_INVALID_HANDLE));
}

TEST_F(StoreTest, DuplicateNamesFollowTheMatchCaseFlag)
{
    ASSERT_NE(create("Plant.Line.Flow", qvtest::vR8(1)), QV_INVALID_HANDLE);
    EXPECT_EQ(create("Plant.Line.Flow", qvtest::vR8(1)), QV_INVALID_HANDLE);
    // Case-sensitive by default: another case is another tag (and another branch).
    EXPECT_NE(create("plant.line.flow", qvtest::vR8(1)), QV_INVALID_HANDLE);
    EXPECT_EQ(QV_SetMatchCase(FALSE), FALSE);
    EXPECT_EQ(create("PLANT.LINE.FLOW", qvtest::vR8(1)), QV_INVALID_HANDLE);
    LockGuard g(App().globalLock);
    OPCTag* t = App().tags.lookup("PLANT.line.Flow");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name, "Plant.Line.Flow"); // first in creation order wins
}

TEST_F(StoreTest, LookupJoinsAccessPathAndItemId)
{
    create("Plant.Line.Flow", qvtest::vR8(1));
    LockGuard g(App().globalLock);
    OPCTagStore& s = App().tags;
    EXPECT_NE(s.lookup("Plant", "Line.Flow"), nullptr);
    EXPECT_NE(s.lookup("Plant.", "Line.Flow"), nullptr);
    EXPECT_EQ(s.lookup("Plant", "Flow"), nullptr);
    EXPECT_EQ(s.lookup("", ""), nullptr);
}

TEST_F(StoreTest, UpdatesReplaceValueQualityAndTimestamp)
{
    DWORD h = create("T", qvtest::vI4(1));
    VARIANT s = qvtest::vStr(L"text");
    FILETIME ft = {0x12345678, 0x01D00000};
    // The tag's type never changes: a value of another type is converted, or refused.
    EXPECT_FALSE(QV_UpdateTagWithTimeStamp(h, s, 0x40, ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATATYPE_MISMATCH));
    VariantClear(&s);
    s = qvtest::vStr(L"12");
    EXPECT_TRUE(QV_UpdateTagWithTimeStamp(h, s, 0x40, ft));
    VariantClear(&s);
    VARIANT v;
    WORD q = 0;
    FILETIME got{};
    ASSERT_TRUE(QV_ReadTag(h, &v, &q, &got));
    EXPECT_EQ(V_VT(&v), VT_I4);
    EXPECT_EQ(V_I4(&v), 12);
    EXPECT_EQ(q, 0x40);
    EXPECT_EQ(got.dwLowDateTime, ft.dwLowDateTime);
    EXPECT_EQ(got.dwHighDateTime, ft.dwHighDateTime);

    EXPECT_TRUE(QV_UpdateTagByName("T", qvtest::vI4(5), 0xC0));
    EXPECT_FALSE(QV_UpdateTagByName("Nope", qvtest::vI4(5), 0xC0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    LockGuard g(App().globalLock);
    EXPECT_EQ(App().tags.lookup("Nope"), nullptr);
}

TEST_F(StoreTest, TimeStampsHaveSubMillisecondSteps)
{
    const FILETIME a = utcNow();
    FILETIME b = a;
    for (int i = 0; i < 10000000 && CompareFileTime(&a, &b) == 0; ++i) b = utcNow();
    const LONGLONG step = ((LONGLONG(b.dwHighDateTime) << 32) | b.dwLowDateTime) -
                          ((LONGLONG(a.dwHighDateTime) << 32) | a.dwLowDateTime);
    EXPECT_GT(step, 0);
    EXPECT_LT(step, 10000); // 100 ns units: under one millisecond
}

TEST_F(StoreTest, CustomPropertiesAboveSix)
{
    DWORD h = create("T", qvtest::vR8(1));
    VARIANT p = qvtest::vStr(L"m3/h");
    EXPECT_FALSE(QV_SetTagProperties(h, 6, "x", p));
    EXPECT_TRUE(QV_SetTagProperties(h, 7, "first", p));
    VARIANT p2 = qvtest::vI4(9);
    EXPECT_TRUE(QV_SetTagProperties(h, 7, "second", p2));
    EXPECT_FALSE(QV_SetTagProperties(QV_INVALID_HANDLE, 7, "x", p2));
    VariantClear(&p);

    LockGuard g(App().globalLock);
    OPCTag* t = App().tags.resolve(h);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->propertyCount(), 7u);
    DWORD id;
    std::string desc;
    VARTYPE vt;
    ASSERT_TRUE(t->propertyAt(6, &id, &desc, &vt));
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(desc, "second");
    EXPECT_EQ(vt, VT_I4);
    EXPECT_FALSE(t->propertyAt(7, &id, &desc, &vt));
    Variant out;
    EXPECT_EQ(t->propertyValue(8, out.get()), OPC_E_INVALID_PID);
    ASSERT_EQ(t->propertyValue(6, out.get()), S_OK);
    EXPECT_EQ(out.vt(), VT_R4);
    EXPECT_FLOAT_EQ(V_R4(out.get()), static_cast<float>(App().updatePeriod.load())); // the update period
    ASSERT_EQ(t->propertyValue(1, out.get()), S_OK);
    EXPECT_EQ(V_I2(out.get()), VT_R8);
    ASSERT_EQ(t->propertyValue(5, out.get()), S_OK);
    EXPECT_EQ(V_I4(out.get()), 1);
}

TEST_F(StoreTest, TimestampPropertyIsLocalTime)
{
    DWORD h = create("T", qvtest::vR8(1));
    SYSTEMTIME noon = {2026, 6, 0, 15, 12, 0, 0, 0};
    FILETIME ft;
    SystemTimeToFileTime(&noon, &ft);
    QV_UpdateTagWithTimeStamp(h, qvtest::vR8(1), 0xC0, ft);
    LockGuard g(App().globalLock);
    Variant out;
    ASSERT_EQ(App().tags.resolve(h)->propertyValue(4, out.get()), S_OK);
    ASSERT_EQ(out.vt(), VT_DATE);
    FILETIME local;
    SYSTEMTIME st;
    FileTimeToLocalFileTime(&ft, &local);
    FileTimeToSystemTime(&local, &st);
    DATE expected;
    SystemTimeToVariantTime(&st, &expected);
    EXPECT_NEAR(V_DATE(out.get()), expected, 1e-6);
}

TEST_F(StoreTest, ValidateItemChecksNameAndType)
{
    create("Plant.Line.Flow", qvtest::vR8(1), true);
    OPCITEMDEF def = {};
    OPCITEMRESULT res = {};
    OPCTag* tag = nullptr;
    def.szItemID = const_cast<LPWSTR>(L"Plant.Line.Flow");
    def.vtRequestedDataType = VT_BSTR;
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), S_OK);
    EXPECT_EQ(res.vtCanonicalDataType, VT_R8);
    EXPECT_EQ(res.dwAccessRights, 3u);
    def.vtRequestedDataType = VT_DISPATCH;
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), OPC_E_BADTYPE);
    def.szItemID = const_cast<LPWSTR>(L"");
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), OPC_E_INVALIDITEMID);
    def.szItemID = nullptr;
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), OPC_E_INVALIDITEMID);
    def.szItemID = const_cast<LPWSTR>(L"Line.Flow");
    def.szAccessPath = const_cast<LPWSTR>(L"Plant");
    def.vtRequestedDataType = VT_EMPTY;
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), S_OK);
    def.szItemID = const_cast<LPWSTR>(L"Nope");
    EXPECT_EQ(App().tags.validateItem(def, &res, &tag), OPC_E_UNKNOWNITEMID);
}

namespace {
HRESULT g_refuseWith = S_OK;
DWORD g_seenHandle = 0;
void WINAPI writeProc(DWORD h, VARIANT* v, HRESULT* r)
{
    g_seenHandle = h;
    EXPECT_EQ(*r, S_OK);
    EXPECT_EQ(V_VT(v), VT_I4);
    *r = g_refuseWith;
}
} // namespace

TEST_F(StoreTest, ClientWriteAsksTheHostFirst)
{
    DWORD h = create("W", qvtest::vI4(1), true, 0x40);
    FILETIME before{};
    QV_ReadTag(h, nullptr, nullptr, &before);
    Sleep(20);
    VARIANT v = qvtest::vI4(42);
    // No callback: the value goes in, stamped with the time it was taken; the quality stays.
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "W", v), S_OK);
    VARIANT got;
    WORD q;
    FILETIME ts;
    QV_ReadTag(h, &got, &q, &ts);
    EXPECT_EQ(V_I4(&got), 42);
    EXPECT_EQ(q, 0x40);
    EXPECT_EQ(CompareFileTime(&ts, &before), 1);

    EXPECT_TRUE(QV_EnableWriteNotification(writeProc));
    g_refuseWith = E_ACCESSDENIED;
    v = qvtest::vI4(7);
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "W", v), E_ACCESSDENIED);
    EXPECT_EQ(g_seenHandle, h);
    QV_ReadTag(h, &got, nullptr, nullptr);
    EXPECT_EQ(V_I4(&got), 42);
    g_refuseWith = S_OK;
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "W", v), S_OK);
    QV_ReadTag(h, &got, nullptr, nullptr);
    EXPECT_EQ(V_I4(&got), 7);
    // A clamped value is taken, and the client hears that it was clamped.
    g_refuseWith = OPC_S_CLAMP;
    v = qvtest::vI4(8);
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "W", v), OPC_S_CLAMP);
    QV_ReadTag(h, &got, nullptr, nullptr);
    EXPECT_EQ(V_I4(&got), 8);
    g_refuseWith = S_OK;
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "Missing", v), OPC_E_INVALIDHANDLE);
    EXPECT_FALSE(QV_EnableWriteNotification(nullptr));
}

TEST_F(StoreTest, RemovingATagThatIsAlsoABranchKeepsItsChildren)
{
    DWORD plant = create("Plant", qvtest::vI4(1));
    DWORD flow = create("Plant.Flow", qvtest::vI4(2));
    ASSERT_NE(flow, QV_INVALID_HANDLE);
    EXPECT_TRUE(QV_RemoveTag(plant));
    EXPECT_TRUE(QV_UpdateTag(flow, qvtest::vI4(3), 0xC0));
    LockGuard g(App().globalLock);
    EXPECT_NE(App().tags.lookup("Plant.Flow"), nullptr);
    EXPECT_TRUE(App().tags.remove(flow));
    EXPECT_TRUE(App().root.children.empty());
}

TEST_F(StoreTest, WidenAndNarrowUseTheAnsiCodePageBothWays)
{
    LPWSTR w = widen("\x41\xE9\x80");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w[0], 0x41);
    EXPECT_EQ(narrow(w), "\x41\xE9\x80");
    if (GetACP() == 1252) {
        EXPECT_EQ(w[1], 0xE9);
        EXPECT_EQ(w[2], 0x20AC); // the euro sign, not U+0080
    }
    freeWide(w);
}

TEST_F(StoreTest, LevelFollowsTheLimitsInTheirOrder)
{
    DWORD h = create("Tank.Level", qvtest::vR8(50));
    ASSERT_TRUE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 10, TRUE, 300, 90, TRUE, 600, 95, TRUE, 700));
    EXPECT_FALSE(QV_SetTagLevelLimits(QV_INVALID_HANDLE, 5, TRUE, 1, 10, TRUE, 1, 90, TRUE, 1, 95, TRUE, 1));
    // Enabled limits out of order, or an enabled severity out of range, are refused; a disabled
    // limit does not count.
    EXPECT_FALSE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 10, TRUE, 300, 9, TRUE, 600, 95, TRUE, 700));
    EXPECT_FALSE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 10, TRUE, 0, 90, TRUE, 600, 95, TRUE, 700));
    EXPECT_TRUE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 100, FALSE, 300, 90, TRUE, 600, 95, TRUE, 700));
    ASSERT_TRUE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 10, TRUE, 300, 90, TRUE, 600, 95, TRUE, 700));
    LockGuard g(App().globalLock);
    OPCTag* t = App().tags.resolve(h);
    struct { VARIANT v; int level; } cases[] = {
        {qvtest::vR8(50), 0}, {qvtest::vR8(96), 4}, {qvtest::vR8(92), 3}, {qvtest::vR8(3), 1},
        {qvtest::vR8(7), 2}, {qvtest::vI4(95), 4}, {qvtest::vStr(L"4.5"), 1}, {qvtest::vStr(L"x"), 0},
    };
    for (auto& c : cases) {
        t->state->value.copyFrom(c.v);
        EXPECT_EQ(t->currentLevel(), c.level);
        VariantClear(&c.v);
    }
}

TEST_F(StoreTest, BadNamesAreRefusedWithTheirReason)
{
    for (const char* bad : {"", "Plant..B", ".Plant.C", "Plant.D."}) {
        EXPECT_EQ(create(bad, qvtest::vI4(1)), QV_INVALID_HANDLE) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << bad;
    }
    EXPECT_EQ(QV_CreateTag(nullptr, qvtest::vI4(1), 0xC0, FALSE), QV_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    ASSERT_NE(create("Plant.B", qvtest::vI4(1)), QV_INVALID_HANDLE);
    EXPECT_EQ(create("Plant.B", qvtest::vI4(1)), QV_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

namespace {
void WINAPI retypingWrite(DWORD, VARIANT* v, HRESULT*)
{
    VariantClear(v);
    *v = qvtest::vStr(L"55");
}
} // namespace

TEST_F(StoreTest, AValueTheWriteCallbackLeavesInAnotherTypeIsConvertedBack)
{
    DWORD h = create("W", qvtest::vI4(1), true);
    QV_EnableWriteNotification(retypingWrite);
    EXPECT_EQ(App().tags.clientWrite(qv::ClientIdentity(), "W", qvtest::vI4(5)), S_OK);
    VARIANT got;
    QV_ReadTag(h, &got, nullptr, nullptr);
    EXPECT_EQ(V_VT(&got), VT_I4);
    EXPECT_EQ(V_I4(&got), 55);
    QV_EnableWriteNotification(nullptr);
}

TEST_F(StoreTest, AlarmDeadbandHoldsTheActiveLevels)
{
    DWORD h = create("Tank.Hover", qvtest::vR8(50));
    ASSERT_TRUE(QV_SetTagLevelLimits(h, 5, TRUE, 400, 10, TRUE, 300, 90, TRUE, 600, 95, TRUE, 700));
    EXPECT_FALSE(QV_SetTagAlarmDeadband(h, -1));
    ASSERT_TRUE(QV_SetTagAlarmDeadband(h, 2));
    // value, level after it: HiHi holds to 93, Hi to 88; a more severe level comes at once.
    struct { double v; int level; } steps[] = {{96, 4}, {94, 4}, {92, 3}, {89, 3}, {87, 0}, {91, 3}, {95, 4},
                                               {11, 0}, {9, 2}, {11, 2}, {12.5, 0}};
    for (auto& st : steps) {
        ASSERT_TRUE(QV_UpdateTag(h, qvtest::vR8(st.v), 0xC0));
        LockGuard g(App().globalLock);
        EXPECT_EQ(App().tags.resolve(h)->state->level, st.level) << st.v;
    }
}
