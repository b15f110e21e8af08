#pragma once
// Identity of the test host as registered in the test prefix.
#include <windows.h>

// {6A0B7E52-3C1D-4F8A-9B21-5E4D3C2B1A01}
static const CLSID CLSID_QvTestHost = {0x6a0b7e52, 0x3c1d, 0x4f8a, {0x9b, 0x21, 0x5e, 0x4d, 0x3c, 0x2b, 0x1a, 0x01}};
#define QV_TESTHOST_PROGID "QvSrvKit.TestHost"
#define QV_TESTHOST_PROGIDW L"QvSrvKit.TestHost"

// The dynamic host (qvdynhost): never registered, reached while it runs.
// {6A0B7E52-3C1D-4F8A-9B21-5E4D3C2B1A02}
static const CLSID CLSID_QvDynHost = {0x6a0b7e52, 0x3c1d, 0x4f8a, {0x9b, 0x21, 0x5e, 0x4d, 0x3c, 0x2b, 0x1a, 0x02}};
