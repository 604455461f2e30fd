#pragma once

// Faults a plug-in may raise that reach a host by unusual roads: through an
// exhausted stack, as this compiler's own C++ throw, or past a C runtime
// told to ignore them. Like kit/Faults.h, none of them returns.

#include <windows.h>
#include <winternl.h>

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

// Frees a block of the process heap between two that stay, writes 48 bytes
// past the end of the block before it, over the freed block's header and
// free-list links, and frees that block too; then writes to address 0. Wine
// 8's heap refuses the merge and returns: the fault comes with the process
// heap broken, not locked.
inline void OverrunHeapBlockThenFree() {
    HANDLE heap = GetProcessHeap();
    constexpr SIZE_T kBytes = 1024;
    auto* before = static_cast<volatile unsigned char*>(HeapAlloc(heap, 0, kBytes));
    void* freed = HeapAlloc(heap, 0, kBytes);
    void* after = HeapAlloc(heap, 0, kBytes);
    if (before && freed && after) {
        HeapFree(heap, 0, freed);
        for (SIZE_T i = kBytes; i < kBytes + 48; i++)
            before[i] = 0xA5;
        HeapFree(heap, 0, const_cast<unsigned char*>(before));
    }
    WriteToAddressZero();
}

// Takes the process heap's lock, never to give it back.
inline void LockProcessHeap() {
    HeapLock(GetProcessHeap());
}

// Takes the loader's lock, as code running in a DLL's attach holds it,
// never to give it back.
inline void LockLoader() {
    using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    auto lock = reinterpret_cast<LockFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
    ULONG_PTR cookie = 0;
    if (lock)
        lock(0, nullptr, &cookie);
}

// Writes the byte an overrun of heap_overrun.dll writes (0xA5) over the heads
// of the loader's three lists of modules (in load, memory and
// initialisation order), as an overrun of a heap block that lies before the
// loader's data would; then writes to address 0. Every walk of those lists
// then follows a link to 0xA5A5...: on x64 the dispatcher walks the list in
// memory order to find each frame's unwind data. The heads lie in the
// loader's data block of the process environment block, found the same way
// on x64 and x86; winternl.h names only the second list, whose head follows
// the first one's.
inline void WriteToAddressZeroWithLoaderListDamaged() {
    using GetPebFn = PEB*(NTAPI*)();
    auto getPeb = reinterpret_cast<GetPebFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetCurrentPeb")));
    PEB_LDR_DATA* loader = getPeb()->Ldr;
    auto* heads = reinterpret_cast<volatile unsigned char*>(&loader->InMemoryOrderModuleList - 1);
    for (size_t i = 0; i < 3 * sizeof(LIST_ENTRY); i++)
        heads[i] = 0xA5;
    WriteToAddressZero();
}

inline void WriteToAddressZeroWithHeapLocked() {
    LockProcessHeap();
    WriteToAddressZero();
}

inline void WriteToAddressZeroWithLoaderLocked() {
    LockLoader();
    WriteToAddressZero();
}

}  // namespace kit
