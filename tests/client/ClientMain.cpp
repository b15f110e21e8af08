#include <gtest/gtest.h>
#include <objbase.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    fflush(stdout);
    return rc;
}
