#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <map>
#include <memory>
#include <string>
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qvtest {

inline VARIANT vI4(LONG v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_I4; V_I4(&x) = v; return x; }
inline VARIANT vR8(double v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_R8; V_R8(&x) = v; return x; }
inline VARIANT vR4(float v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_R4; V_R4(&x) = v; return x; }
// The caller owns the BSTR inside (wrap in qv::Variant or VariantClear it).
inline VARIANT vStr(const wchar_t* s) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_BSTR; V_BSTR(&x) = SysAllocString(s); return x; }

// A server object held by the test, as a worker thread would hold it; deleteServer lets go.
inline std::map<qv::OPCServer*, std::shared_ptr<qv::OPCServer>>& heldServers()
{
    static std::map<qv::OPCServer*, std::shared_ptr<qv::OPCServer>> m;
    return m;
}
inline qv::OPCServer* newServer()
{
    std::shared_ptr<qv::OPCServer> s = qv::OPCServer::create();
    heldServers()[s.get()] = s;
    return s.get();
}
inline void deleteServer(qv::OPCServer* s) { heldServers().erase(s); }

// Every test starts with an empty tag store and default settings.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        qv::OPCServerApp& app = qv::App();
        app.tags.clear();
        app.matchCaseFlag = 1;
        app.writeNotificationProc = nullptr;
        app.deviceReadProc = nullptr;
        app.disconnectNotificationProc = nullptr;
        app.stopped = false;
    }
};

} // namespace qvtest
