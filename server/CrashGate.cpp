#include "server/CrashGate.h"

#include <windows.h>

namespace {

volatile LONG crashClaimed = 0;

}  // namespace

bool ClaimCrash() {
    return InterlockedCompareExchange(&crashClaimed, 1, 0) == 0;
}

bool CrashBegun() {
    return InterlockedCompareExchange(&crashClaimed, 0, 0) != 0;
}

void ParkForever() {
    for (;;)
        Sleep(INFINITE);
}

void StopIfCrashing() {
    if (CrashBegun())
        ParkForever();
}
