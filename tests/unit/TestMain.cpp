#include <gtest/gtest.h>
#include <objbase.h>
#include "core/OPCServerApp.h"

namespace {

// The in-process tests stand where a started server would: in the MTA, with the task
// allocator obtained.
class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        IMalloc* m = nullptr;
        CoGetMalloc(1, &m);
        qv::App().taskAllocator = m;
    }
    void TearDown() override { CoUninitialize(); }
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);
    int rc = RUN_ALL_TESTS();
    fflush(stdout);
    return rc;
}
