#pragma once
// Identity of the delivery benchmark's host.
#include <windows.h>

// {6A0B7E52-3C1D-4F8A-9B21-5E4D3C2B1A77}
static const CLSID CLSID_QvDeliveryBench = {0x6a0b7e52, 0x3c1d, 0x4f8a, {0x9b, 0x21, 0x5e, 0x4d, 0x3c, 0x2b, 0x1a, 0x77}};
#define QV_DELIVERYBENCH_PROGID "QvSrvKit.DeliveryBench"
// Named manual-reset event: while set, the host makes no updates.
#define QV_DELIVERYBENCH_PAUSE "QvSrvKitDeliveryBenchPause"
// Registry key (under HKEY_CURRENT_USER) of the settings the client hands to the host.
#define QV_DELIVERYBENCH_KEY "Software\\QvSrvKit\\DeliveryBench"
// Named manual-reset event: while set, the host reports every update (QV_SetReportEveryUpdate),
// as every host update was reported before changes were told from repeats.
#define QV_DELIVERYBENCH_EVERY "QvSrvKitDeliveryBenchEvery"
// Registry value (under QV_DELIVERYBENCH_KEY, REG_BINARY, three doubles) where the host leaves the
// min/median/max cost in microseconds of one cycle's updates since the mode last changed.
#define QV_DELIVERYBENCH_COST "UpdateCostUs"
