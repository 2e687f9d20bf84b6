// Clocks of the platform layer.
#pragma once

#include "WinTypes.h"

// The performance counter: CLOCK_MONOTONIC in nanoseconds. Always succeeds (TRUE).
BOOL QueryPerformanceCounter(LONGLONG* count);
// Counter ticks per second: 10^9.
BOOL QueryPerformanceFrequency(LONGLONG* frequency);
// Milliseconds since the system started (CLOCK_BOOTTIME), wrapping at 2^32.
DWORD GetTickCount();
// Sleeps for ms milliseconds; 0 yields the rest of the time slice.
void Sleep(DWORD ms);
