// The group's DA 1.0 IDataObject: advise tokens and limits, the byte layout of the streams,
// which sink receives what, and each path's own pending changes beside a DA 2.0 container.
#include "Da1Fixture.h"
#include "dataio/DataIo.h"

using namespace qv;
using namespace qvtest;
using namespace qvda1;

namespace {

class Da1DataObjectTest : public Da1Test {
protected:
    void SetUp() override
    {
        Da1Test::SetUp();
        tagI_ = makeTag("I", vI4(7));
        Variant s(vStr(L"abc"));
        QV_CreateTag("S", *s.get(), OPC_QUALITY_GOOD, TRUE);
        g_ = makeGroup();
        i_ = addItem(*g_, "I", 201);
        s_ = addItem(*g_, "S", 202);
    }
    std::shared_ptr<OPCGroup> g_;
    OPCHANDLE i_ = 0, s_ = 0;
    DWORD tagI_ = 0;
};

} // namespace

TEST_F(Da1DataObjectTest, DataStreamLayoutWithAndWithoutTimeStamps)
{
    RecordingAdviseSink& data = newAdviseSink();
    RecordingAdviseSink& timed = newAdviseSink();
    ASSERT_EQ(dadvise(*g_, formatData(), &data), S_OK);
    ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed), S_OK);
    FILETIME stamp;
    {
        LockGuard lock(App().globalLock);
        stamp = g_->findItem(i_)->timestamp;
    }
    pass(*g_);
    auto d = data.take();
    auto t = timed.take();
    ASSERT_EQ(d.size(), 1u);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_LT(t[0].sequence, d[0].sequence); // data+time first
    for (const StreamCall* c : {&d[0], &t[0]}) {
        EXPECT_FALSE(c->lockHeld);
        EXPECT_EQ(c->tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(c->fe.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(c->fe.dwAspect, static_cast<DWORD>(DVASPECT_CONTENT));
        EXPECT_EQ(c->fe.lindex, -1);
        EXPECT_EQ(c->fe.ptd, nullptr);
        EXPECT_FALSE(c->hasUnkForRelease);
    }
    EXPECT_EQ(d[0].format, formatData());
    EXPECT_EQ(t[0].format, formatDataTime());

    DataStream a = parseData(d[0].bytes, false);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.size, 88u);
    EXPECT_GE(d[0].bytes.size(), 88u);
    EXPECT_EQ(a.count, 2u);
    EXPECT_EQ(a.group, g_->clientHandle.load());
    EXPECT_EQ(a.transactionId, 0u);
    EXPECT_EQ(a.status, S_OK);
    ASSERT_EQ(a.items.size(), 2u);
    EXPECT_EQ(a.items[0].client, 201u);
    EXPECT_EQ(a.items[0].offset, 44u);
    EXPECT_EQ(a.items[0].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(a.items[0].reserved, 0u);
    EXPECT_EQ(a.items[0].vt, VT_I4);
    EXPECT_EQ(static_cast<LONG>(a.items[0].raw), 7);
    EXPECT_EQ(a.items[1].client, 202u);
    EXPECT_EQ(a.items[1].offset, 60u);
    EXPECT_EQ(a.items[1].vt, VT_BSTR);
    EXPECT_EQ(a.items[1].stringBytes, 6u);
    EXPECT_EQ(a.items[1].text, L"abc");
    EXPECT_TRUE(a.items[1].terminated);
    EXPECT_EQ(a.items[1].raw, 0); // no server address leaves in the copied VARIANT
    EXPECT_EQ(a.end, 88u);

    DataStream b = parseData(t[0].bytes, true);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.size, 104u);
    ASSERT_EQ(b.items.size(), 2u);
    EXPECT_EQ(b.items[0].offset, 60u);
    EXPECT_EQ(b.items[1].offset, 76u);
    EXPECT_EQ(b.items[0].time.dwLowDateTime, stamp.dwLowDateTime);
    EXPECT_EQ(b.items[0].time.dwHighDateTime, stamp.dwHighDateTime);
    EXPECT_EQ(b.items[1].text, L"abc");
    EXPECT_EQ(b.end, 104u);
}

TEST_F(Da1DataObjectTest, ValuesGoOutInTheRequestedTypeAndSizeFollowsThem)
{
    // The I4 item asked as a string: the stream sizes the converted value, not the cached one.
    {
        LockGuard lock(App().globalLock);
        g_->findItem(i_)->requestedType = VT_BSTR;
    }
    RecordingAdviseSink& data = newAdviseSink();
    ASSERT_EQ(dadvise(*g_, formatData(), &data), S_OK);
    pass(*g_);
    auto d = data.take();
    ASSERT_EQ(d.size(), 1u);
    DataStream a = parseData(d[0].bytes, false);
    ASSERT_TRUE(a.ok);
    ASSERT_EQ(a.items.size(), 2u);
    EXPECT_EQ(a.items[0].vt, VT_BSTR);
    EXPECT_EQ(a.items[0].text, L"7");
    EXPECT_EQ(a.items[1].offset, 44u + 16 + 4 + 2 + 2);
    EXPECT_EQ(a.size, a.end);
    EXPECT_EQ(a.size, 20u + 24 + 24 + 28);
}

TEST_F(Da1DataObjectTest, ItemWithoutReadAccessGoesOutEmptyWithBadQuality)
{
    {
        LockGuard lock(App().globalLock);
        g_->findItem(i_)->accessRights = 0;
    }
    RecordingAdviseSink& timed = newAdviseSink();
    ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed), S_OK);
    pass(*g_);
    auto t = timed.take();
    ASSERT_EQ(t.size(), 1u);
    DataStream b = parseData(t[0].bytes, true);
    ASSERT_TRUE(b.ok);
    ASSERT_EQ(b.items.size(), 2u);
    EXPECT_EQ(b.items[0].vt, VT_EMPTY);
    EXPECT_EQ(b.items[0].quality, OPC_QUALITY_BAD);
    EXPECT_EQ(b.items[0].time.dwLowDateTime, 0u);
    EXPECT_EQ(b.items[0].time.dwHighDateTime, 0u);
    EXPECT_EQ(b.items[1].offset, 60u + 16); // the empty value takes its 16 bytes
    EXPECT_EQ(b.items[1].quality, OPC_QUALITY_GOOD);
}

TEST_F(Da1DataObjectTest, AdviseTokensLimitsAndArguments)
{
    ComPtr<IDataObject> d = itf<IDataObject>(*g_, IID_IDataObject);
    ASSERT_TRUE(d);
    RecordingAdviseSink& a = newAdviseSink();
    RecordingAdviseSink& b = newAdviseSink();
    FORMATETC fe{static_cast<CLIPFORMAT>(formatData()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD token = 0;
    EXPECT_EQ(d->DAdvise(nullptr, 0, &a, &token), E_POINTER);
    EXPECT_EQ(d->DAdvise(&fe, 0, nullptr, &token), E_POINTER);
    EXPECT_EQ(d->DAdvise(&fe, 0, &a, nullptr), E_POINTER);
    FORMATETC text{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(d->DAdvise(&text, 0, &a, &token), DV_E_FORMATETC);
    EXPECT_FALSE(g_->hasDA1DataSink());

    // Only cfFormat counts: other members and advf are ignored.
    FORMATETC odd{static_cast<CLIPFORMAT>(formatData()), nullptr, 99, 5, TYMED_ISTREAM};
    EXPECT_EQ(d->DAdvise(&odd, 0x1234, &a, &token), S_OK);
    EXPECT_EQ(token, formatData());
    EXPECT_EQ(a.refs.load(), 2);
    EXPECT_TRUE(g_->hasDA1DataSink());
    EXPECT_FALSE(g_->hasDA1WriteSink());
    EXPECT_EQ(d->DAdvise(&fe, 0, &b, &token), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(b.refs.load(), 1); // the refused sink keeps no reference

    EXPECT_EQ(dadvise(*g_, formatWrite(), &b, &token), S_OK);
    EXPECT_EQ(token, formatWrite());
    EXPECT_TRUE(g_->hasDA1WriteSink());

    EXPECT_EQ(d->DUnadvise(0), OLE_E_NOCONNECTION);
    EXPECT_EQ(d->DUnadvise(formatDataTime()), OLE_E_NOCONNECTION); // a format with no sink
    EXPECT_EQ(d->DUnadvise(formatData()), S_OK);
    EXPECT_EQ(a.refs.load(), 1);
    EXPECT_EQ(d->DUnadvise(formatData()), OLE_E_NOCONNECTION);
    EXPECT_FALSE(g_->hasDA1DataSink());
    EXPECT_EQ(d->DAdvise(&fe, 0, &a, &token), S_OK); // the slot is free again

    // The rest of IDataObject is not offered.
    STGMEDIUM m{};
    EXPECT_EQ(d->GetData(&fe, &m), E_NOTIMPL);
    IEnumSTATDATA* e = reinterpret_cast<IEnumSTATDATA*>(1);
    EXPECT_EQ(d->EnumDAdvise(&e), E_NOTIMPL);
    EXPECT_EQ(e, nullptr);

    // Destroying the group releases every sink.
    g_->destroy();
    EXPECT_EQ(a.refs.load(), 1);
    EXPECT_EQ(b.refs.load(), 1);
}

TEST_F(Da1DataObjectTest, SinkWithoutIAdviseSinkIsRefused)
{
    RecordingCallback& notASink = newSink(); // an IOPCDataCallback only
    ComPtr<IDataObject> d = itf<IDataObject>(*g_, IID_IDataObject);
    FORMATETC fe{static_cast<CLIPFORMAT>(formatData()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD token = 77;
    EXPECT_EQ(d->DAdvise(&fe, 0, reinterpret_cast<IAdviseSink*>(static_cast<IOPCDataCallback*>(&notASink)), &token),
              E_NOINTERFACE);
    EXPECT_FALSE(g_->hasDA1DataSink());
}

TEST_F(Da1DataObjectTest, OnlyChangedActiveItemsAndNothingWhenNoneChanged)
{
    DWORD tag = QV_CreateTag("J", vI4(1), OPC_QUALITY_GOOD, TRUE);
    OPCHANDLE inactive = addItem(*g_, "J", 203, VT_EMPTY, false);
    RecordingAdviseSink& data = newAdviseSink();
    RecordingAdviseSink& timed = newAdviseSink();
    ASSERT_EQ(dadvise(*g_, formatData(), &data), S_OK);
    ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed), S_OK);
    pass(*g_);
    ASSERT_EQ(data.count(), 1u);
    data.take();
    timed.take();
    EXPECT_TRUE(changed(*g_, inactive)); // inactive: not reported, not cleared

    pass(*g_); // nothing changed among the active items
    EXPECT_EQ(data.count(), 0u);
    EXPECT_EQ(timed.count(), 0u);

    update(tag, vI4(2)); // only the inactive item follows J
    pass(*g_);
    EXPECT_EQ(data.count(), 0u);

    update(tagI_, vI4(8));
    pass(*g_);
    auto d = data.take();
    ASSERT_EQ(d.size(), 1u);
    DataStream a = parseData(d[0].bytes, false);
    ASSERT_EQ(a.items.size(), 1u);
    EXPECT_EQ(a.items[0].client, 201u);
    EXPECT_EQ(static_cast<LONG>(a.items[0].raw), 8);
    EXPECT_EQ(a.size, 20u + 12 + 16);
}

// The stream and the DA 2.0 callback keep their own pending state: each hears every change
// once, whichever was advised first, and neither clears the other's.
TEST_F(Da1DataObjectTest, EachPathHearsEveryChangeOnce)
{
    auto streamChanged = [&] {
        LockGuard lock(App().globalLock);
        return g_->findItem(i_)->stream.changed;
    };
    // Before any data sink is advised nothing goes out, and nothing is cleared either.
    ASSERT_TRUE(itf<IDataObject>(*g_, IID_IDataObject));
    pass(*g_);
    EXPECT_TRUE(streamChanged());
    RecordingAdviseSink& data = newAdviseSink();
    ASSERT_EQ(dadvise(*g_, formatData(), &data), S_OK);
    // A container the client only queried: the stream is served as for a DA 1.0-only client.
    ASSERT_TRUE(itf<IConnectionPointContainer>(*g_, IID_IConnectionPointContainer));
    pass(*g_);
    EXPECT_EQ(data.take().size(), 1u);
    EXPECT_FALSE(streamChanged());
    EXPECT_TRUE(changed(*g_, i_)); // the callback path has not delivered it
    pass(*g_);
    EXPECT_EQ(data.count(), 0u); // no repeat of what the stream delivered

    // The callback advised later still hears the item, and the stream does not again.
    RecordingCallback& cb = newSink();
    ASSERT_EQ(advise(*g_, &cb), 1u);
    pass(*g_);
    EXPECT_EQ(cb.take().size(), 1u);
    EXPECT_EQ(data.count(), 0u);
    update(tagI_, vI4(9));
    pass(*g_);
    EXPECT_EQ(data.take().size(), 1u);
    auto calls = cb.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{201}));
    EXPECT_FALSE(changed(*g_, i_));
    EXPECT_FALSE(streamChanged());
    pass(*g_);
    EXPECT_EQ(data.count(), 0u);
    EXPECT_EQ(cb.count(), 0u);
}

TEST_F(Da1DataObjectTest, UnadvisedSinkReceivesNothingMore)
{
    RecordingAdviseSink& data = newAdviseSink();
    DWORD token = 0;
    ASSERT_EQ(dadvise(*g_, formatData(), &data, &token), S_OK);
    ComPtr<IDataObject> d = itf<IDataObject>(*g_, IID_IDataObject);
    ASSERT_EQ(d->DUnadvise(token), S_OK);
    pass(*g_);
    EXPECT_EQ(data.count(), 0u);
}
