#pragma once
// Identity of the raw baseline server of the out-of-process benchmarks.
#include <windows.h>

// {DB0A182D-2CED-406D-88FC-B6DAA7EC2B16}
static const CLSID CLSID_QvRawBench = {0xdb0a182d, 0x2ced, 0x406d, {0x88, 0xfc, 0xb6, 0xda, 0xa7, 0xec, 0x2b, 0x16}};
