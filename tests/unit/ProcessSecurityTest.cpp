// What COM does not show under Wine: the arguments of the process-security call, the AppID
// values going away on unregister, and the trace file's rotation.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "runtime/Registration.h"
#include "runtime/Security.h"
#include "base/Trace.h"

namespace {

const CLSID kClsid = {0x5e0c1d2a, 0x77aa, 0x4e51, {0x9a, 0x10, 0x3b, 0x6f, 0x21, 0x44, 0x90, 0x0d}};
const char kGuid[] = "{5e0c1d2a-77aa-4e51-9a10-3b6f2144900d}";

bool keyExists(const std::string& sub)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

} // namespace

TEST(ProcessSecurity, DefaultArgumentsNameTheAppIdAndAreNeverWideOpen)
{
    qv::SecurityArgs a = qv::defaultSecurityArgs(&kClsid);
    EXPECT_EQ(a.secDesc, &kClsid);
    EXPECT_EQ(a.capabilities, static_cast<DWORD>(EOAC_APPID));
    EXPECT_GE(a.authnLevel, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT_INTEGRITY));
    EXPECT_EQ(a.impLevel, static_cast<DWORD>(RPC_C_IMP_LEVEL_IDENTIFY));
    EXPECT_EQ(a.authServices, -1);
}

TEST(ProcessSecurity, UnregisterRemovesTheAppIdValues)
{
    ASSERT_TRUE(qv::registerServer(kClsid, "QvSrvKit.SecurityTest", "t", "\"C:\\x y\\sectesthost.exe\" -a"));
    DWORD level = 0, size = sizeof level;
    EXPECT_EQ(RegGetValueA(HKEY_CLASSES_ROOT, (std::string("AppID\\") + kGuid).c_str(), "AuthenticationLevel",
                           RRF_RT_REG_DWORD, nullptr, &level, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(level, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT_INTEGRITY));
    EXPECT_TRUE(keyExists("AppID\\sectesthost.exe"));
    ASSERT_TRUE(qv::unregisterServer(kClsid, "QvSrvKit.SecurityTest"));
    EXPECT_FALSE(keyExists(std::string("AppID\\") + kGuid));
    EXPECT_FALSE(keyExists("AppID\\sectesthost.exe"));
}

TEST(ProcessSecurity, TraceRotatesAtItsLimit)
{
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + "qv_rotate_test.trace";
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".1").c_str());
    qv::trace::setRotateBytes(1000);
    ASSERT_TRUE(qv::trace::setFile(path.c_str(), qv::trace::kErrors));
    for (int i = 0; i < 40; ++i) qv::trace::line(qv::trace::kErrors, "line %d of the rotation test", i);
    qv::trace::line(qv::trace::kCalls, "not traced at this level");
    qv::trace::stop();
    qv::trace::setRotateBytes(4u << 20);
    WIN32_FILE_ATTRIBUTE_DATA cur = {}, old = {};
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &cur));
    ASSERT_TRUE(GetFileAttributesExA((path + ".1").c_str(), GetFileExInfoStandard, &old));
    EXPECT_LE(cur.nFileSizeLow, 1000u);
    EXPECT_GT(old.nFileSizeLow, 500u);
    EXPECT_LE(old.nFileSizeLow, 1000u);
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".1").c_str());
}

// Trace lines begin with UTC marked Z; the local-time flag gives local time with its offset,
// and the offset is the one the clock's conversion applied.
TEST(ProcessSecurity, TraceTimeIsUtcOrLocalWithOffset)
{
    char utc[40], local[40];
    qv::trace::timeStamp(utc, sizeof utc, false);
    qv::trace::timeStamp(local, sizeof local, true);
    ASSERT_EQ(strlen(utc), 24u) << utc;
    EXPECT_EQ(utc[10], 'T');
    EXPECT_EQ(utc[23], 'Z');
    ASSERT_EQ(strlen(local), 29u) << local;
    EXPECT_TRUE(local[23] == '+' || local[23] == '-') << local;
    EXPECT_EQ(local[26], ':');
    TIME_ZONE_INFORMATION tz;
    const DWORD kind = GetTimeZoneInformation(&tz);
    const long bias = -(tz.Bias + (kind == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : 0));
    char offset[8];
    snprintf(offset, sizeof offset, "%c%02ld:%02ld", bias < 0 ? '-' : '+', labs(bias) / 60, labs(bias) % 60);
    EXPECT_STREQ(local + 23, offset);
}
