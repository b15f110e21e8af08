#include "TestSupport.h"
#include "group/OPCGroup.h"
#include "qvopc.h"
#include "qvsrvkit.h"
#include "server/OPCServer.h"

using namespace qv;
using qvtest::StoreTest;

TEST_F(StoreTest, ChangeUserRederivesItemRightsFromTags)
{
    VARIANT v = qvtest::vI4(1);
    DWORD rw = QV_CreateTag("Sec.RW", v, 0xC0, TRUE);
    DWORD ro = QV_CreateTag("Sec.RO", v, 0xC0, FALSE);
    ASSERT_NE(rw, QV_INVALID_HANDLE);
    ASSERT_NE(ro, QV_INVALID_HANDLE);

    OPCServer* s = qvtest::newServer();
    IOPCSecurityNT* sec = nullptr;
    ASSERT_EQ(s->QueryInterface(IID_IOPCSecurityNT, reinterpret_cast<void**>(&sec)), S_OK);
    BOOL avail = TRUE;
    DWORD level = 7;
    EXPECT_EQ(sec->IsAvailableNT(&avail), S_OK);
    EXPECT_FALSE(avail);
    EXPECT_EQ(sec->QueryMinImpersonationLevel(&level), S_OK);
    EXPECT_EQ(level, 0u);
    EXPECT_EQ(sec->IsAvailableNT(nullptr), E_INVALIDARG);
    EXPECT_EQ(sec->ChangeUser(), S_OK); // no groups

    auto g = OPCGroup::create();
    OPCItem* items[2];
    {
        LockGuard lock(App().globalLock);
        const char* names[2] = {"Sec.RW", "Sec.RO"};
        for (int i = 0; i < 2; ++i) {
            std::unique_ptr<OPCItem> it(new OPCItem());
            it->itemId = it->tagName = names[i];
            it->accessRights = 0; // wrong on purpose: ChangeUser must restore it
            items[i] = it.get();
            g->addItem(std::move(it));
        }
        s->groups.push_back(g);
    }
    EXPECT_EQ(sec->ChangeUser(), S_OK);
    EXPECT_EQ(items[0]->accessRights, 3u);
    EXPECT_EQ(items[1]->accessRights, 1u);
    EXPECT_TRUE(QV_RemoveTag(rw));
    EXPECT_EQ(sec->ChangeUser(), S_OK); // still S_OK when a tag is gone
    EXPECT_EQ(items[0]->accessRights, 0u);
    EXPECT_EQ(items[1]->accessRights, 1u);
    EXPECT_FALSE(s->refreshAccessRights());

    sec->Release();
    qvtest::deleteServer(s); // not in the client list: we own it
}
