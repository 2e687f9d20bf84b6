#include "Timing.h"

#include <sched.h>
#include <time.h>

BOOL QueryPerformanceCounter(LONGLONG* count) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    *count = static_cast<LONGLONG>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LONGLONG* frequency) {
    *frequency = 1000000000LL;
    return TRUE;
}

DWORD GetTickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ms = static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                    static_cast<unsigned long long>(now.tv_nsec / 1000000);
    return static_cast<DWORD>(ms);
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&span, &span) != 0) {
    }
}
