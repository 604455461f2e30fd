#pragma once

// Faults a plug-in may raise that reach a host by unusual roads: through an
// exhausted stack, as this compiler's own C++ throw, or past a C runtime
// told to ignore them. Like kit/Faults.h, none of them returns.

#include <csignal>

#include "tests/plugins/kit/Faults.h"

namespace kit {

// Recurses until the stack runs out. Each frame holds a buffer the next call
// reads, so the compiler can neither turn the recursion into a loop nor drop
// it; the end test can never pass, and the compiler cannot tell.
__attribute__((noinline)) inline int RecurseWithFrame(volatile char* previous) {
    volatile char frame[256];
    frame[0] = static_cast<char>(previous[0] + 1);
    if (previous == frame)
        return 0;
    return RecurseWithFrame(frame) + frame[0];
}

inline void OverflowStack() {
    volatile char first[1] = {0};
    RecurseWithFrame(first);
}

// A throw that no frame of the plug-in catches: GCC raises it as the
// structured exception 0x20474343 and, if that returns, calls std::terminate.
[[noreturn]] __attribute__((noinline)) inline void ThrowGccCxxException() {
    throw 42;
}

// msvcrt's signal table is shared by every module linked to msvcrt, the
// host's C runtime included: the plug-in tells it to ignore access
// violations, then commits one.
inline void WriteToAddressZeroWithSegvIgnored() {
    signal(SIGSEGV, SIG_IGN);
    WriteToAddressZero();
}

}  // namespace kit
